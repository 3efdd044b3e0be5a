#include "firmware/Resources.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace
{

std::string ReadFile(const char* Path)
{
    std::ifstream f(Path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace

TEST(FindResource, TextBlobFromSourceTree)
{
    const auto r = FindResource("test_blob");
    ASSERT_TRUE(r.has_value());
    const std::string Expected = ReadFile(VELTRAC_TEST_TEXT_BLOB);
    ASSERT_FALSE(Expected.empty());
    EXPECT_EQ(std::string(*r), Expected);
    // A zero byte follows, outside the counted length.
    EXPECT_EQ(r->data()[r->size()], '\0');
}

TEST(FindResource, LargeBinaryBlobMadeAtBuildTime)
{
    const auto r = FindResource("pattern");
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r->size(), std::size_t{VELTRAC_TEST_PATTERN_SIZE});
    std::size_t Bad = 0;
    for (std::size_t i = 0; i < r->size(); ++i)
        if (static_cast<unsigned char>((*r)[i]) != ((i * 7 + (i >> 8)) & 0xFF))
            ++Bad;
    EXPECT_EQ(Bad, 0u);
}

TEST(FindResource, LookupIsStableAndUncopied)
{
    const auto a = FindResource("pattern");
    const auto b = FindResource("pattern");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->data(), b->data());
}

TEST(FindResource, EmptyBlobIsFoundWithNoBytes)
{
    const auto r = FindResource("empty");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->size(), 0u);
}

TEST(FindResource, ResourcesFromASecondCall)
{
    const auto r = FindResource("second.call-blob");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(std::string(*r), ReadFile(VELTRAC_TEST_TEXT_BLOB));
}

TEST(FindResource, UnknownNamesAreNotFound)
{
    EXPECT_FALSE(FindResource("gps_fw").has_value());
    EXPECT_FALSE(FindResource("").has_value());
    EXPECT_FALSE(FindResource("test_blo").has_value());
    EXPECT_FALSE(FindResource("test_blob ").has_value());
    EXPECT_FALSE(FindResource("TEST_BLOB").has_value());
    EXPECT_FALSE(FindResource(std::string_view("test_blob\0", 10)).has_value());
}
