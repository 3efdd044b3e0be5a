// Choosing the receiver image for a reported version, the EEPROM records and
// "GPSz" containers written into a tracking unit, and the MediaTek check and
// transfer blocks of the External GPS module.
#include "firmware/ReceiverImages.h"
#include "tests/common/TestBytes.h"
#include "util/DeflateText.h"
#include "util/MyFunctions.h"

#include <gtest/gtest.h>

namespace
{

const std::vector<std::string> Images = {"AXN_3.8_3333_15043022,3424,MC-GG,1.0.bin",
                                         "AXN_1.0_1111_10000000,1000,MC-GG,1.0.bin",
                                         "AXN_5.1_7777_18010101,0001,MC-XY,2.0.bin",
                                         "EVA_1.0.bin",
                                         "EVA_2.0.bin",
                                         "readme.bin"};

uint32_t LittleEndian(const std::string& S, std::size_t Offset)
{
    uint32_t V = 0;
    for (int i = 3; i >= 0; --i)
        V = V << 8 | static_cast<uint8_t>(S[Offset + i]);
    return V;
}

} // namespace

TEST(ReceiverImages, AxnImageByModuleTypeLastListedWins)
{
    EXPECT_EQ(FindAXNImage(Images, "AXN_9.9_0000_00000000,1,MC-GG,1.0"),
              "AXN_1.0_1111_10000000,1000,MC-GG,1.0.bin");
    EXPECT_EQ(FindAXNImage(Images, "AXN_0,1,MC-XY,2"), "AXN_5.1_7777_18010101,0001,MC-XY,2.0.bin");
    EXPECT_EQ(FindAXNImage(Images, "AXN_0,1,MC-ZZ,2"), "");
    // Field 2 must match exactly; a text without it matches only items without it.
    EXPECT_EQ(FindAXNImage(Images, "AXN_0,1,mc-gg,2"), "");
    EXPECT_EQ(FindAXNImage(Images, "AXN_3.8"), "");
    EXPECT_EQ(FindAXNImage({}, "AXN_0,1,MC-GG,1"), "");
}

TEST(ReceiverImages, EvaOnlyWithPlusF)
{
    EXPECT_EQ(FindEVAImage(Images, "EVA_3.0,X+F"), "EVA_2.0.bin");
    EXPECT_EQ(FindEVAImage(Images, "EVA_3.0,X"), "");
    EXPECT_EQ(FindEVAImage(Images, "EVA_3.0,X+f"), "");
    EXPECT_EQ(FindEVAImage({"AXN_1,2,MC-GG,1.bin"}, "EVA_3.0+F"), "");
}

TEST(ReceiverImages, ModuleTypeAliases)
{
    EXPECT_EQ(ApplyModuleTypeAliases("AXN_3.8_3333_15043022,3424,MC-GLA,1.0"),
              "AXN_3.8_3333_15043022,3424,MC-GG,1.0");
    EXPECT_EQ(ApplyModuleTypeAliases("AXN_1,MT33-1.MC-GG,MT33-1.x"), "AXN_1,MC-GG,x");
    EXPECT_EQ(ApplyModuleTypeAliases("AXN_1,mc-gla"), "AXN_1,mc-gla");
    EXPECT_EQ(FindAXNImage(Images, ApplyModuleTypeAliases(RecoveryVersionText)),
              "AXN_1.0_1111_10000000,1000,MC-GG,1.0.bin");
}

TEST(ReceiverImages, ReceiverImageNames)
{
    EXPECT_TRUE(IsReceiverImageName("a.BIN"));
    EXPECT_TRUE(IsReceiverImageName("b.bin"));
    EXPECT_TRUE(IsReceiverImageName("dir/AXN_1,2,MC-GG,1.0.bin"));
    EXPECT_FALSE(IsReceiverImageName("c.efw"));
    EXPECT_FALSE(IsReceiverImageName("fw.bin.txt"));
    EXPECT_FALSE(IsReceiverImageName("folder.bin/file"));
    EXPECT_FALSE(IsReceiverImageName("bin"));
}

TEST(ReceiverImages, ChunkSizeFromTheUnitsFrameLimit)
{
    EXPECT_EQ(UnitChunkSize(200, 0x1234), 196);
    EXPECT_EQ(UnitChunkSize(250, 0x1234), 186);
    EXPECT_EQ(UnitChunkSize(250, 0x0000), 246);
    EXPECT_EQ(UnitChunkSize(250, 0xFFFF), 246);
    EXPECT_EQ(UnitChunkSize(201, 0x0001), 186);
    EXPECT_LE(UnitChunkSize(0, 0), 0);
    EXPECT_LE(UnitChunkSize(4, 0), 0);
}

TEST(ReceiverImages, RecordsCutInOrder)
{
    const std::string Image = NoiseBytes(400, 3);
    const auto Records = UnitRecords(Image, 65536, 196);
    ASSERT_EQ(Records.size(), 3u);
    EXPECT_EQ(GetToken(Records[0], 0, ' '), "65536");
    EXPECT_EQ(GetToken(Records[1], 0, ' '), "65732");
    EXPECT_EQ(GetToken(Records[2], 0, ' '), "65928");
    EXPECT_EQ(Records[2], "65928 " + Hex(Image.substr(392)));
    EXPECT_EQ(TokenCount(Records[0], ' '), 1 + 196);
    EXPECT_EQ(TokenCount(Records[2], ' '), 1 + 8);
    EXPECT_EQ(UnitRecords("GPSz", 65536, 196), std::vector<std::string>{"65536 47 50 53 7A"});
    EXPECT_TRUE(UnitRecords("", 0, 196).empty());
    EXPECT_TRUE(UnitRecords(Image, 0, 0).empty());
}

TEST(ReceiverImages, PlainContainer)
{
    EXPECT_EQ(Hex(GPSzContainer("abcd", false)),
              "47 50 53 7A 04 00 00 00 36 1C 2F A6 00 00 00 00 00 00 00 00 61 62 63 64");
}

TEST(ReceiverImages, PackedContainer)
{
    const std::string Image = MakeMediaTekImage(3000, 2000) + std::string(5000, 'x');
    const std::string C = GPSzContainer(Image, true);
    ASSERT_GT(C.size(), 20u);
    EXPECT_EQ(C.substr(0, 4), "GPSz");
    const std::string Payload = C.substr(20);
    EXPECT_EQ(LittleEndian(C, 4), Payload.size());
    EXPECT_EQ(LittleEndian(C, 8), Crc32Words(Payload, 0xFFFFFFFF));
    EXPECT_EQ(LittleEndian(C, 12), Image.size());
    EXPECT_EQ(LittleEndian(C, 16), Crc32Words(Image, 0xFFFFFFFF));
    EXPECT_LT(Payload.size(), Image.size());
    EXPECT_EQ(InflateRaw(Payload), Image);
}

TEST(ReceiverImages, MediaTekHeaderCheck)
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

TEST(ReceiverImages, PageCountOfTheStartBlock)
{
    EXPECT_EQ(ModuleTransferBlocks(MakeMediaTekImage(448, 256))[0], Bytes({'R', 0x00, 0x01}));
    EXPECT_EQ(ModuleTransferBlocks(MakeMediaTekImage(448, 257))[0], Bytes({'R', 0x00, 0x02}));
    EXPECT_EQ(ModuleTransferBlocks(MakeMediaTekImage(448, 0))[0], Bytes({'R', 0x00, 0x00}));
    EXPECT_EQ(ModuleTransferBlocks(MakeMediaTekImage(448, 0x12345))[0], Bytes({'R', 0x01, 0x24}));
}

TEST(ReceiverImages, ImageCutIntoChunks)
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

TEST(ReceiverImages, CompressibleChunksGoDeflated)
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

TEST(ReceiverImages, ChunkIndexWrapsAtEightBits)
{
    const auto Blocks = ModuleTransferBlocks(MakeMediaTekImage(2048 * 257 + 1, 0, 9));
    ASSERT_EQ(Blocks.size(), 259u);
    EXPECT_EQ(static_cast<uint8_t>(Blocks[256][1]), 255);
    EXPECT_EQ(static_cast<uint8_t>(Blocks[257][1]), 0);
    EXPECT_EQ(Blocks[258].size(), 3u);
}

TEST(ReceiverImages, DeflatedFormAsLongAsTheChunkIsSentDeflated)
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
