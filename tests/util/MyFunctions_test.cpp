#include "util/MyFunctions.h"

#include <gtest/gtest.h>

TEST(FetchToken, SplitsAtFirstDelimiterAndConsumesIt)
{
    std::string S = "ab::cd::ef";
    EXPECT_EQ(FetchToken(S, "::"), "ab");
    EXPECT_EQ(S, "cd::ef");
    EXPECT_EQ(FetchToken(S, "::"), "cd");
    EXPECT_EQ(FetchToken(S, "::"), "ef");
    EXPECT_EQ(S, "");
}

TEST(FetchToken, AbsentDelimiterTakesEverything)
{
    std::string S = "abc";
    EXPECT_EQ(FetchToken(S, ","), "abc");
    EXPECT_EQ(S, "");
}

TEST(FetchToken, EmptyDelimiterLeavesTextAlone)
{
    std::string S = "abc";
    EXPECT_EQ(FetchToken(S, ""), "");
    EXPECT_EQ(S, "abc");
}

TEST(FetchToken, KeepsZeroBytes)
{
    std::string S("a\0b|c", 5);
    EXPECT_EQ(FetchTokenChar(S, '|'), std::string("a\0b", 3));
    EXPECT_EQ(S, "c");
}

TEST(GetToken, EmptyFieldsCount)
{
    EXPECT_EQ(GetToken("a,,c", 0, ','), "a");
    EXPECT_EQ(GetToken("a,,c", 1, ','), "");
    EXPECT_EQ(GetToken("a,,c", 2, ','), "c");
    EXPECT_EQ(GetToken("a,,c", 3, ','), "");
    EXPECT_EQ(GetToken("a,,c", 30, ','), "");
    EXPECT_EQ(GetToken(",b", 0, ','), "");
    EXPECT_EQ(GetToken(",b", 1, ','), "b");
}

TEST(GetToken, NegativeIndexAndEmptyText)
{
    EXPECT_EQ(GetToken("a,b", -1, ','), "");
    EXPECT_EQ(GetToken("", 0, ','), "");
    EXPECT_EQ(GetToken("abc", 0, ','), "abc");
}

TEST(TokenCount, CountsFieldsIncludingTrailingEmpty)
{
    EXPECT_EQ(TokenCount("", ','), 0);
    EXPECT_EQ(TokenCount("a", ','), 1);
    EXPECT_EQ(TokenCount("a,", ','), 2);
    EXPECT_EQ(TokenCount(",", ','), 2);
    EXPECT_EQ(TokenCount("a,,c", ','), 3);
}

TEST(FileNameNoExt, StripsFolderAndLastExtension)
{
    EXPECT_EQ(FileNameNoExt("C:\\fw\\AXN_3.8.bin"), "AXN_3.8");
    EXPECT_EQ(FileNameNoExt("C:name.bin"), "name");
    EXPECT_EQ(FileNameNoExt("/home/tech/fw/image.v2.bin"), "image.v2");
    EXPECT_EQ(FileNameNoExt("dir.d/noext"), "noext");
    EXPECT_EQ(FileNameNoExt("plain"), "plain");
    EXPECT_EQ(FileNameNoExt("folder/"), "");
    EXPECT_EQ(FileNameNoExt(""), "");
}

TEST(ReplaceAll, NoOverlapsAndNoRescan)
{
    EXPECT_EQ(ReplaceAll("aaa", "aa", "b", true), "ba");
    EXPECT_EQ(ReplaceAll("aaaa", "aa", "b", true), "bb");
    // Inserted text is not scanned again.
    EXPECT_EQ(ReplaceAll("ab", "a", "aa", true), "aab");
    EXPECT_EQ(ReplaceAll("xyz", "", "Q", true), "xyz");
    EXPECT_EQ(ReplaceAll("x", "xyz", "Q", true), "x");
    EXPECT_EQ(ReplaceAll("", "a", "b", true), "");
    EXPECT_EQ(ReplaceAll("a-b-c", "-", "", true), "abc");
}

TEST(ReplaceAll, CaseInsensitiveKeepsCopiedCase)
{
    EXPECT_EQ(ReplaceAll("Hello hELLo", "hello", "X", true), "Hello hELLo");
    EXPECT_EQ(ReplaceAll("Hello hELLo World", "hello", "X", false), "X X World");
    EXPECT_EQ(ReplaceAll("MiXeD", "x", "_", false), "Mi_eD");
    // Only ASCII letters fold: 0xE4 and 0xC4 stay different.
    EXPECT_EQ(ReplaceAll("\xE4", "\xC4", "_", false), "\xE4");
}

TEST(JoinNonEmpty, SeparatorOnlyBetweenTwoParts)
{
    EXPECT_EQ(JoinNonEmpty("a", "b", ", "), "a, b");
    EXPECT_EQ(JoinNonEmpty("", "b", ", "), "b");
    EXPECT_EQ(JoinNonEmpty("a", "", ", "), "a");
    EXPECT_EQ(JoinNonEmpty("", "", ", "), "");
}

TEST(SafeEncodeDateTime, DaysSinceEpochPlusFraction)
{
    EXPECT_DOUBLE_EQ(SafeEncodeDateTime(1899, 12, 31, 0, 0, 0), 1.0);
    EXPECT_DOUBLE_EQ(SafeEncodeDateTime(1900, 1, 1, 0, 0, 0), 2.0);
    EXPECT_DOUBLE_EQ(SafeEncodeDateTime(2000, 1, 1, 0, 0, 0), 36526.0);
    EXPECT_DOUBLE_EQ(SafeEncodeDateTime(2024, 2, 29, 12, 0, 0), 45351.5);
    EXPECT_DOUBLE_EQ(SafeEncodeDateTime(2024, 3, 1, 6, 30, 45),
                     45352.0 + (6 * 3600 + 30 * 60 + 45) / 86400.0);
    EXPECT_DOUBLE_EQ(SafeEncodeDateTime(1899, 12, 29, 0, 0, 0), -1.0);
}

TEST(SafeEncodeDateTime, InvalidGivesZero)
{
    EXPECT_EQ(SafeEncodeDateTime(2023, 2, 29, 0, 0, 0), 0.0);
    EXPECT_EQ(SafeEncodeDateTime(1900, 2, 29, 0, 0, 0), 0.0);
    EXPECT_NE(SafeEncodeDateTime(2000, 2, 29, 0, 0, 0), 0.0);
    EXPECT_EQ(SafeEncodeDateTime(2024, 13, 1, 0, 0, 0), 0.0);
    EXPECT_EQ(SafeEncodeDateTime(2024, 0, 1, 0, 0, 0), 0.0);
    EXPECT_EQ(SafeEncodeDateTime(2024, 4, 31, 0, 0, 0), 0.0);
    EXPECT_EQ(SafeEncodeDateTime(2024, 1, 0, 0, 0, 0), 0.0);
    EXPECT_EQ(SafeEncodeDateTime(0, 1, 1, 0, 0, 0), 0.0);
    EXPECT_EQ(SafeEncodeDateTime(10000, 1, 1, 0, 0, 0), 0.0);
    EXPECT_EQ(SafeEncodeDateTime(2024, 1, 1, 24, 0, 0), 0.0);
    EXPECT_EQ(SafeEncodeDateTime(2024, 1, 1, 0, 60, 0), 0.0);
    EXPECT_EQ(SafeEncodeDateTime(2024, 1, 1, 0, 0, 60), 0.0);
    EXPECT_EQ(SafeEncodeDateTime(65535, 65535, 65535, 65535, 65535, 65535), 0.0);
}

TEST(FixedText, PointAndRoundingWhateverTheLocale)
{
    EXPECT_EQ(FixedText(2.1, 2), "2.10");
    EXPECT_EQ(FixedText(12.5, 1), "12.5");
    EXPECT_EQ(FixedText(99.96, 1), "100.0");
    EXPECT_EQ(FixedText(0, 1), "0.0");
}

TEST(IfStrIfInt, PickByCondition)
{
    EXPECT_EQ(IfStr(true, "y", "n"), "y");
    EXPECT_EQ(IfStr(false, "y", "n"), "n");
    EXPECT_EQ(IfInt(true, 1, -1), 1);
    EXPECT_EQ(IfInt(false, 1, -1), -1);
}

TEST(Crc16, KnownCheckValues)
{
    EXPECT_EQ(Crc16Text(0x0000, "abc"), 0x9DD6);
    EXPECT_EQ(Crc16Text(0xFFFF, "abc"), 0x514A);
    EXPECT_EQ(Crc16Text(0xFFFF, "123456789"), 0x29B1);
    EXPECT_EQ(Crc16Text(0x1234, ""), 0x1234);
}

TEST(Crc16, MatchesBitwiseDefinitionForEveryByte)
{
    // MSB-first polynomial 1021 shift register, computed bit by bit.
    for (unsigned Start : {0x0000u, 0xFFFFu, 0x1D0Fu, 0x8000u}) {
        for (unsigned B = 0; B < 256; ++B) {
            unsigned Crc = Start ^ (B << 8);
            for (int i = 0; i < 8; ++i)
                Crc = (Crc & 0x8000) ? ((Crc << 1) ^ 0x1021) : (Crc << 1);
            ASSERT_EQ(Crc16Byte(static_cast<uint16_t>(Start), static_cast<uint8_t>(B)), Crc & 0xFFFF)
                << "start " << Start << " byte " << B;
        }
    }
}

TEST(Crc16, ChainsAcrossCalls)
{
    const std::string Data("\x00\xFF\x10\x7C", 4);
    uint16_t Crc = 0xFFFF;
    for (char C : Data)
        Crc = Crc16Byte(Crc, static_cast<uint8_t>(C));
    EXPECT_EQ(Crc16Text(0xFFFF, Data), Crc);
    EXPECT_EQ(Crc16Text(Crc16Text(0xFFFF, "12345"), "6789"), 0x29B1);
}

TEST(Crc32Words, KnownValues)
{
    EXPECT_EQ(Crc32Words("", 0xFFFFFFFF), 0xFFFFFFFFu);
    EXPECT_EQ(Crc32Words("abc", 0xFFFFFFFF), 0xE1208697u);
    EXPECT_EQ(Crc32Words("abcd", 0xFFFFFFFF), 0xA62F1C36u);
}

TEST(Crc32Words, PadsWithZeroBytes)
{
    EXPECT_EQ(Crc32Words("abc", 0xFFFFFFFF), Crc32Words(std::string("abc\0", 4), 0xFFFFFFFF));
    EXPECT_EQ(Crc32Words("abcde", 0x12345678), Crc32Words(std::string("abcde\0\0\0", 8), 0x12345678));
    EXPECT_NE(Crc32Words("abcde", 0xFFFFFFFF), Crc32Words("abcd", 0xFFFFFFFF));
}

TEST(ByteSum, FullAndLowByte)
{
    EXPECT_EQ(ByteSum("", false), 0);
    EXPECT_EQ(ByteSum(std::string("\xFF\xFF\x03", 3), false), 0x201);
    EXPECT_EQ(ByteSum(std::string("\xFF\xFF\x03", 3), true), 0x01);
    EXPECT_EQ(ByteSum(std::string(1000, '\x80'), false), 128000);
}
