// The External GPS module's link: exact frame bytes, escaping, checksums and
// the receiver transfer blocks.
#include "AppTestSupport.h"
#include "link/ModuleFrames.h"
#include "util/DeflateText.h"

#include <gtest/gtest.h>

namespace
{

std::string CommandFrame(uint8_t Cmd, const std::string& Payload)
{
    return EscapeModuleFrame(ModuleCommandBody(Cmd, Payload));
}

} // namespace

TEST(ModuleFrames, CommandsOnTheWire)
{
    EXPECT_EQ(Hex(CommandFrame(0x01, "\x1D")), "3C 00 2C 01 1D 4A 3E");
    EXPECT_EQ(Hex(CommandFrame(0xFA, "Q")), "3C 00 2C FA 51 77 3E");
    EXPECT_EQ(Hex(CommandFrame(0x7F, "\x1D")), "3C 00 2C 7F 1D C8 3E");
    EXPECT_EQ(Hex(CommandFrame(0xFA, Bytes({'R', 0x00, 0x01}))), "3C 00 2C FA 52 00 01 79 3E");
}

TEST(ModuleFrames, EscapesContentAndChecksum)
{
    EXPECT_EQ(Hex(EscapeModuleFrame(Bytes({0x10, 0x3C, 0x3E, 0x11, 0x01, 0x02}))),
              "3C 10 10 10 01 10 02 11 01 02 3E");
    // 00 + 2C + 10 = 3C: the checksum itself needs the escape.
    EXPECT_EQ(Hex(CommandFrame(0x10, "")), "3C 00 2C 10 10 10 01 3E");
    // 2C + FA + 18 = 13E: a checksum of 3E.
    EXPECT_EQ(Hex(CommandFrame(0xFA, Bytes({0x18}))), "3C 00 2C FA 18 10 02 3E");
    EXPECT_EQ(Hex(CommandFrame(0xFA, Bytes({0x3C}))), "3C 00 2C FA 10 01 62 3E");
    EXPECT_EQ(Hex(EscapeModuleFrame("")), "3C 3E");
}

TEST(ModuleFrames, ReceivedFrameChecks)
{
    std::string Content;
    // Status frame: address and payload are summed.
    EXPECT_TRUE(ModuleFrameValid(Bytes({0x00, 0x2C, 'R', 0x01, 0x7F}), Content));
    EXPECT_EQ(Content, Bytes({0x00, 0x2C, 'R', 0x01}));
    // Answer frame: the leading FF is not summed.
    EXPECT_TRUE(ModuleFrameValid(Bytes({0xFF, 0x10, 0x20, 0x30}), Content));
    EXPECT_EQ(Content, Bytes({0xFF, 0x10, 0x20}));
    EXPECT_FALSE(ModuleFrameValid(Bytes({0xFF, 0x10, 0x20, 0x2F}), Content));
    EXPECT_FALSE(ModuleFrameValid(Bytes({0x00, 0x2C, 'R', 0x01, 0x80}), Content));
    // Two bytes or fewer, checksum included, are never a frame.
    EXPECT_FALSE(ModuleFrameValid(Bytes({0x05, 0x05}), Content));
    EXPECT_FALSE(ModuleFrameValid(Bytes({0xFF, 0x00}), Content));
    EXPECT_FALSE(ModuleFrameValid("", Content));
    // The shortest answer that counts: FF, one payload byte, its checksum.
    EXPECT_TRUE(ModuleFrameValid(Bytes({0xFF, 0x07, 0x07}), Content));
}

TEST(ModuleFrames, MediaTekHeaderCheck)
{
    EXPECT_EQ(CheckMediaTekImage(MakeMediaTekImage(448, 256)), TMediaTekCheck::Ok);
    EXPECT_EQ(CheckMediaTekImage(MakeMediaTekImage(5000, 256)), TMediaTekCheck::Ok);
    EXPECT_EQ(CheckMediaTekImage(MakeMediaTekImage(448, 256).substr(0, 447)), TMediaTekCheck::TooShort);
    EXPECT_EQ(CheckMediaTekImage(""), TMediaTekCheck::TooShort);
    std::string NoMark = MakeMediaTekImage(1000, 256);
    NoMark[149] = 'X'; // "MTKGPX"
    EXPECT_EQ(CheckMediaTekImage(NoMark), TMediaTekCheck::NotMediaTek);
    std::string NoAxn = MakeMediaTekImage(1000, 256);
    NoAxn[330] = 'M';
    EXPECT_EQ(CheckMediaTekImage(NoAxn), TMediaTekCheck::NotMediaTek);
}

TEST(ModuleFrames, PageCountOfTheStartBlock)
{
    EXPECT_EQ(ModuleTransferBlocks(MakeMediaTekImage(448, 256))[0], Bytes({'R', 0x00, 0x01}));
    EXPECT_EQ(ModuleTransferBlocks(MakeMediaTekImage(448, 257))[0], Bytes({'R', 0x00, 0x02}));
    EXPECT_EQ(ModuleTransferBlocks(MakeMediaTekImage(448, 0))[0], Bytes({'R', 0x00, 0x00}));
    EXPECT_EQ(ModuleTransferBlocks(MakeMediaTekImage(448, 0x12345))[0], Bytes({'R', 0x01, 0x24}));
}

TEST(ModuleFrames, ImageCutIntoChunks)
{
    // Incompressible data goes as "S" blocks, unchanged.
    const std::string Image = MakeMediaTekImage(5000, 4000, 7);
    const auto Blocks = ModuleTransferBlocks(Image);
    ASSERT_EQ(Blocks.size(), 4u);
    std::string Joined;
    for (std::size_t i = 1; i < Blocks.size(); ++i) {
        EXPECT_EQ(Blocks[i][0], 'S');
        EXPECT_EQ(static_cast<uint8_t>(Blocks[i][1]), i - 1);
        Joined += Blocks[i].substr(2);
    }
    EXPECT_EQ(Blocks[3].size(), 2u + 904u);
    EXPECT_EQ(Joined, Image);

    // Whole chunks: no empty block at the end.
    const auto Even = ModuleTransferBlocks(MakeMediaTekImage(4096, 4000, 3));
    ASSERT_EQ(Even.size(), 3u);
    EXPECT_EQ(static_cast<uint8_t>(Even[1][1]), 0);
    EXPECT_EQ(static_cast<uint8_t>(Even[2][1]), 1);
}

TEST(ModuleFrames, CompressibleChunksGoDeflated)
{
    std::string Image = MakeMediaTekImage(448, 256);
    Image += std::string(3000, '\xFF');
    const auto Blocks = ModuleTransferBlocks(Image);
    ASSERT_EQ(Blocks.size(), 3u);
    for (std::size_t i = 1; i < Blocks.size(); ++i) {
        ASSERT_EQ(Blocks[i][0], 'T');
        EXPECT_EQ(InflateRaw(Blocks[i].substr(2)), Image.substr((i - 1) * 2048, 2048));
    }
}

TEST(ModuleFrames, ChunkIndexWrapsAtEightBits)
{
    const auto Blocks = ModuleTransferBlocks(MakeMediaTekImage(2048 * 257 + 1, 0, 9));
    ASSERT_EQ(Blocks.size(), 259u);
    EXPECT_EQ(static_cast<uint8_t>(Blocks[256][1]), 255);
    EXPECT_EQ(static_cast<uint8_t>(Blocks[257][1]), 0);
    EXPECT_EQ(Blocks[258].size(), 3u);
}

TEST(ModuleFrames, DeflatedFormAsLongAsTheChunkIsSentDeflated)
{
    // Search a last chunk whose raw deflate form is exactly its own length.
    const std::string Head = MakeMediaTekImage(2048, 0, 5);
    for (std::size_t Zeros = 0; Zeros < 400; ++Zeros) {
        for (std::size_t Tail = 16; Tail < 200; ++Tail) {
            const std::string Chunk =
                std::string(Zeros, '\0') + NoiseBytes(Tail, static_cast<uint32_t>(Zeros + 1));
            if (DeflateText(Chunk, true).size() != Chunk.size())
                continue;
            const auto Blocks = ModuleTransferBlocks(Head + Chunk);
            ASSERT_EQ(Blocks.size(), 3u);
            EXPECT_EQ(Blocks[2][0], 'T');
            EXPECT_EQ(Blocks[2].size(), 2 + Chunk.size());
            return;
        }
    }
    GTEST_SKIP() << "no chunk of equal deflated length found";
}
