#include "firmware/IniFile.h"

#include <gtest/gtest.h>

using Strings = std::vector<std::string>;

TEST(IniFile, SectionsAndKeysIgnoreCaseAndBlanks)
{
    const TMemIniFile ini("  [ Alpha ]  \r\n"
                          "  Key One  =  value with  inner  blanks  \r\n"
                          "NUMBER=12\n"
                          "[beta]\r"
                          "x=1\n");
    EXPECT_EQ(ini.ReadSections(), (Strings{"Alpha", "beta"}));
    EXPECT_EQ(ini.ReadString("ALPHA", "key one", "?"), "value with  inner  blanks");
    EXPECT_EQ(ini.ReadInteger("alpha", "Number", -1), 12);
    EXPECT_EQ(ini.ReadInteger(" BETA ", " X ", -1), 1);
    EXPECT_TRUE(ini.SectionExists("aLpHa"));
    EXPECT_FALSE(ini.SectionExists("gamma"));
    EXPECT_EQ(ini.ReadString("gamma", "x", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("beta", "missing", "dflt"), "dflt");
}

TEST(IniFile, CommentsStrayLinesAndEmptyKeysAreIgnored)
{
    const TMemIniFile ini("orphan=before any section\n"
                          "; [commented]\n"
                          "[s]\n"
                          "   ; k=commented out\n"
                          "no equals sign here\n"
                          "=no key\n"
                          "a=b;not a comment\n"
                          "empty=\n");
    EXPECT_EQ(ini.ReadSections(), (Strings{"s"}));
    EXPECT_EQ(ini.ReadSection("s"), (Strings{"a", "empty"}));
    EXPECT_EQ(ini.ReadString("s", "a", ""), "b;not a comment");
    EXPECT_TRUE(ini.ValueExists("s", "empty"));
    EXPECT_EQ(ini.ReadString("s", "empty", "dflt"), "");
    EXPECT_FALSE(ini.ValueExists("s", "k"));
}

TEST(IniFile, RepeatedSectionContinuesAndRepeatedKeyReplaces)
{
    const TMemIniFile ini("[A]\nk=1\nm=x\n[B]\nk=2\n[a]\nK=3\nn=y\n");
    EXPECT_EQ(ini.ReadSections(), (Strings{"A", "B"}));
    EXPECT_EQ(ini.ReadSection("a"), (Strings{"k", "m", "n"}));
    EXPECT_EQ(ini.ReadString("A", "k", ""), "3");
    EXPECT_EQ(ini.ReadString("B", "k", ""), "2");
}

TEST(IniFile, ValuesKeepEqualsSignsAndAnyBytes)
{
    const std::string binary("v=\x01\xFF=\x80", 6);
    const TMemIniFile ini("[s]\n" + binary + "\n");
    EXPECT_EQ(ini.ReadString("s", "v", ""), std::string("\x01\xFF=\x80", 4));
}

TEST(IniFile, IntegersInDecimalAndHexWithinThirtyTwoBits)
{
    const TMemIniFile ini("[n]\n"
                          "dec=-42\nplus=+7\nhex1=$FF\nhex2=0x10\nall=$FFFFFFFF\n"
                          "max=2147483647\nmin=-2147483648\nover=2147483648\nhexover=$100000000\n"
                          "junk=12a\nblank=\nsign=-\nprefix=0x\n");
    EXPECT_EQ(ini.ReadInteger("n", "dec", 0), -42);
    EXPECT_EQ(ini.ReadInteger("n", "plus", 0), 7);
    EXPECT_EQ(ini.ReadInteger("n", "hex1", 0), 255);
    EXPECT_EQ(ini.ReadInteger("n", "hex2", 0), 16);
    EXPECT_EQ(ini.ReadInteger("n", "all", 0), -1);
    EXPECT_EQ(ini.ReadInteger("n", "max", 0), 2147483647);
    EXPECT_EQ(ini.ReadInteger("n", "min", 0), INT32_MIN);
    for (const char* bad : {"over", "hexover", "junk", "blank", "sign", "prefix", "absent"})
        EXPECT_EQ(ini.ReadInteger("n", bad, 99), 99) << bad;
}

TEST(IniFile, SetTextReplacesEverything)
{
    TMemIniFile ini("[old]\nk=v\n");
    ini.SetText("[new]\nk=w\n");
    EXPECT_FALSE(ini.SectionExists("old"));
    EXPECT_EQ(ini.ReadString("new", "k", ""), "w");
    ini.Clear();
    EXPECT_TRUE(ini.ReadSections().empty());
}
