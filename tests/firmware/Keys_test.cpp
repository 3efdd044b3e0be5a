#include "firmware/Keys.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

namespace
{

std::string Trim(const std::string& S)
{
    const auto First = S.find_first_not_of(" \t\r");
    if (First == std::string::npos)
        return {};
    return S.substr(First, S.find_last_not_of(" \t\r") - First + 1);
}

// Reads the keys file the build was configured with, independently of the configure step.
std::map<std::string, std::string> KeysFromFile(const std::string& Path)
{
    std::map<std::string, std::string> Keys;
    std::ifstream f(Path);
    std::string Line;
    while (std::getline(f, Line)) {
        Line = Trim(Line);
        if (Line.empty() || Line[0] == '#')
            continue;
        const auto Eq = Line.find('=');
        if (Eq == std::string::npos)
            continue;
        const std::string Hex = Trim(Line.substr(Eq + 1));
        std::string Bytes;
        for (std::size_t i = 0; i + 1 < Hex.size(); i += 2)
            Bytes += static_cast<char>(std::stoi(Hex.substr(i, 2), nullptr, 16));
        Keys[Trim(Line.substr(0, Eq))] = Bytes;
    }
    return Keys;
}

} // namespace

TEST(Keys, AreTheConfiguredKeysFileBytes)
{
    const auto Keys = KeysFromFile(VELTRAC_TEST_KEYS_FILE);
    ASSERT_EQ(Keys.size(), 3u) << VELTRAC_TEST_KEYS_FILE;
    EXPECT_EQ(ImageKey(), Keys.at("image"));
    EXPECT_EQ(CfwKey(), Keys.at("cfw"));
    EXPECT_EQ(EfwKey(), Keys.at("efw"));
}

TEST(Keys, SixteenDistinctBytesEach)
{
    EXPECT_EQ(ImageKey().size(), 16u);
    EXPECT_EQ(CfwKey().size(), 16u);
    EXPECT_EQ(EfwKey().size(), 16u);
    EXPECT_NE(ImageKey(), CfwKey());
    EXPECT_NE(ImageKey(), EfwKey());
    EXPECT_NE(CfwKey(), EfwKey());
    EXPECT_EQ(&ImageKey(), &ImageKey());
}

TEST(Keys, DemoFlagFollowsTheKeysFile)
{
    EXPECT_EQ(DemoKeys(), std::string(VELTRAC_TEST_KEYS_FILE) == VELTRAC_TEST_DEMO_KEYS_FILE);
}
