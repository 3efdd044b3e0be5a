#include "util/MyConvert.h"

#include <gtest/gtest.h>

TEST(HexDigitValue, AllCharacters)
{
    for (int c = 0; c < 256; ++c) {
        const char Ch = static_cast<char>(c);
        uint8_t Expected = 255;
        if (c >= '0' && c <= '9')
            Expected = static_cast<uint8_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            Expected = static_cast<uint8_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            Expected = static_cast<uint8_t>(c - 'a' + 10);
        EXPECT_EQ(HexDigitValue(Ch), Expected) << "char " << c;
    }
}

TEST(HexToIntDef, DigitsAndDefaults)
{
    EXPECT_EQ(HexToIntDef("FF", -7), 255);
    EXPECT_EQ(HexToIntDef("ff", -7), 255);
    EXPECT_EQ(HexToIntDef("0", -7), 0);
    EXPECT_EQ(HexToIntDef("1a2B", -7), 0x1A2B);
    EXPECT_EQ(HexToIntDef("", -7), -7);
    EXPECT_EQ(HexToIntDef("0x10", -7), -7);
    EXPECT_EQ(HexToIntDef(" 1", -7), -7);
    EXPECT_EQ(HexToIntDef("1 ", -7), -7);
    EXPECT_EQ(HexToIntDef("-1", -7), -7);
    EXPECT_EQ(HexToIntDef("G", -7), -7);
}

TEST(HexToIntDef, WrapsAsThirtyTwoBits)
{
    EXPECT_EQ(HexToIntDef("7FFFFFFF", 0), 0x7FFFFFFF);
    EXPECT_EQ(HexToIntDef("80000000", 0), INT32_MIN);
    EXPECT_EQ(HexToIntDef("FFFFFFFF", 0), -1);
    EXPECT_EQ(HexToIntDef("123456789", 0), 0x23456789);
    // Far longer than any field the callers use.
    EXPECT_EQ(HexToIntDef(std::string(1000, 'F') + "12", 0), static_cast<int32_t>(0xFFFFFF12u));
    EXPECT_EQ(HexToIntDef(std::string(1000, '0') + "x", 5), 5);
}

TEST(DecToIntDef, SignsAndSeparators)
{
    EXPECT_EQ(DecToIntDef("1,234", -7), 1234);
    EXPECT_EQ(DecToIntDef("-12", -7), -12);
    EXPECT_EQ(DecToIntDef("+12", -7), 12);
    EXPECT_EQ(DecToIntDef("-1,000,000", -7), -1000000);
    EXPECT_EQ(DecToIntDef(",,5,", -7), 5);
    EXPECT_EQ(DecToIntDef("0", -7), 0);
}

TEST(DecToIntDef, EmptyAndBareSignGiveZero)
{
    EXPECT_EQ(DecToIntDef("", -7), 0);
    EXPECT_EQ(DecToIntDef("-", -7), 0);
    EXPECT_EQ(DecToIntDef("+", -7), 0);
}

TEST(DecToIntDef, OtherCharactersGiveDefault)
{
    EXPECT_EQ(DecToIntDef("12a", -7), -7);
    EXPECT_EQ(DecToIntDef("--1", -7), -7);
    EXPECT_EQ(DecToIntDef("1-", -7), -7);
    EXPECT_EQ(DecToIntDef(" 1", -7), -7);
    EXPECT_EQ(DecToIntDef("1.5", -7), -7);
}

TEST(DecToIntDef, WrapsAsThirtyTwoBits)
{
    EXPECT_EQ(DecToIntDef("2147483647", 0), INT32_MAX);
    EXPECT_EQ(DecToIntDef("-2147483648", 0), INT32_MIN);
    EXPECT_EQ(DecToIntDef("2147483648", 0), INT32_MIN);
    EXPECT_EQ(DecToIntDef("4294967296", 0), 0);
    EXPECT_EQ(DecToIntDef("4294967297", 0), 1);
    EXPECT_EQ(DecToIntDef(std::string(500, '9'), 0), DecToIntDef(std::string(500, '9'), 1));
}

TEST(BytesToHex, SpacedAndPlain)
{
    EXPECT_EQ(BytesToHex(std::string("\x00\xAB", 2), true), "00 AB");
    EXPECT_EQ(BytesToHex(std::string("\x00\xAB", 2), false), "00AB");
    EXPECT_EQ(BytesToHex("", true), "");
    EXPECT_EQ(BytesToHex("\x7F", true), "7F");
    EXPECT_EQ(BytesToHex("\xFF\x48\x31", true), "FF 48 31");
}

TEST(HexToBytes, Spaced)
{
    EXPECT_EQ(HexToBytes("01 2 ff", true), std::string("\x01\x02\xFF", 3));
    EXPECT_EQ(HexToBytes("", true), "");
    // An empty group between two blanks is a zero byte, as is an unreadable group.
    EXPECT_EQ(HexToBytes("01  02", true), std::string("\x01\x00\x02", 3));
    EXPECT_EQ(HexToBytes(" 01", true), std::string("\x00\x01", 2));
    EXPECT_EQ(HexToBytes("zz 01", true), std::string("\x00\x01", 2));
    EXPECT_EQ(HexToBytes("01 ", true), std::string("\x01", 1));
}

TEST(HexToBytes, Unspaced)
{
    EXPECT_EQ(HexToBytes("0102F", false), std::string("\x01\x02\x0F", 3));
    EXPECT_EQ(HexToBytes("FF48", false), "\xFF\x48");
    EXPECT_EQ(HexToBytes("", false), "");
}

TEST(HexToBytes, GroupAboveByteRaisesRangeError)
{
    EXPECT_THROW(HexToBytes("100", true), ERangeError);
    EXPECT_THROW(HexToBytes("01 FFFFFFFF", true), ERangeError);
    EXPECT_THROW(HexToBytes("01 7FFFFFFFF", true), ERangeError);
    EXPECT_THROW(HexToBytes("01 FF 1FF", true), std::range_error);
}

TEST(HexToBytes, RoundTripsBytesToHex)
{
    std::string All;
    for (int i = 0; i < 256; ++i)
        All += static_cast<char>(i);
    EXPECT_EQ(HexToBytes(BytesToHex(All, true), true), All);
    EXPECT_EQ(HexToBytes(BytesToHex(All, false), false), All);
}

TEST(IntToStrZero, PadsInFrontNeverShortens)
{
    EXPECT_EQ(IntToStrZero(7, 3), "007");
    EXPECT_EQ(IntToStrZero(1234, 2), "1234");
    EXPECT_EQ(IntToStrZero(-5, 4), "00-5");
    EXPECT_EQ(IntToStrZero(0, 0), "0");
    EXPECT_EQ(IntToStrZero(INT32_MIN, 12), "0-2147483648");
}

TEST(CaseFolding, AsciiOnly)
{
    EXPECT_EQ(UpperText("abc-XyZ\xE4"), "ABC-XYZ\xE4");
    EXPECT_EQ(LowerText("ABC-xYz\xC4"), "abc-xyz\xC4");
    EXPECT_EQ(UpperText(std::string("a\0b", 3)), std::string("A\0B", 3));
}

TEST(SignExtension, ByteAndWord)
{
    EXPECT_EQ(ByteToShortInt(0x7F), 127);
    EXPECT_EQ(ByteToShortInt(0x80), -128);
    EXPECT_EQ(ByteToShortInt(0xFF), -1);
    EXPECT_EQ(WordToSmallInt(0x7FFF), 32767);
    EXPECT_EQ(WordToSmallInt(0x8000), -32768);
    EXPECT_EQ(WordToSmallInt(0xFFFE), -2);
}

TEST(IntToHexBytes, MostSignificantFirst)
{
    EXPECT_EQ(IntToHexBytes(0x1234, 2), "12 34");
    EXPECT_EQ(IntToHexBytes(0x1234, 1), "34");
    EXPECT_EQ(IntToHexBytes(0x1234, 0), "");
    EXPECT_EQ(IntToHexBytes(0xDEADBEEF, 4), "DE AD BE EF");
    EXPECT_EQ(IntToHexBytes(0xDEADBEEF, 6), "00 00 DE AD BE EF");
}

TEST(IntToRawBytes, LeastSignificantFirst)
{
    EXPECT_EQ(IntToRawBytes(0x1234, 2), "\x34\x12");
    EXPECT_EQ(IntToRawBytes(0x1234, 0), "");
    EXPECT_EQ(IntToRawBytes(0xDEADBEEF, 4), "\xEF\xBE\xAD\xDE");
    EXPECT_EQ(IntToRawBytes(0x01, 3), std::string("\x01\x00\x00", 3));
    EXPECT_EQ(IntToRawBytes(0xFFFFFFFF, 5), std::string("\xFF\xFF\xFF\xFF\x00", 5));
}
