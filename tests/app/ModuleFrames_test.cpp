// The External GPS module's link: exact frame bytes, escaping and checksums.
#include "AppTestSupport.h"
#include "app/ModuleFrames.h"

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
