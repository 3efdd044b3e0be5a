#include "serial/CircularBuffer.h"

#include <gtest/gtest.h>
#include <string>

namespace
{

std::string Contents(const TCircularBuffer& B)
{
    return std::string(reinterpret_cast<const char*>(B.ReadPtr()), static_cast<size_t>(B.ContiguousUsed()));
}

} // namespace

TEST(CircularBuffer, FillRemoveAndWrapAround)
{
    TCircularBuffer b(8);
    EXPECT_EQ(b.Used(), 0);
    EXPECT_EQ(b.Free(), 8);

    ASSERT_TRUE(b.Write("ABCDEFGH", 8));
    EXPECT_EQ(b.Used(), 8);
    EXPECT_EQ(b.Free(), 0);
    EXPECT_TRUE(b.Full());
    EXPECT_EQ(b.ContiguousUsed(), 8);
    EXPECT_FALSE(b.Write("I", 1)) << "a full buffer takes nothing more";
    EXPECT_EQ(Contents(b), "ABCDEFGH");

    ASSERT_TRUE(b.Remove(3));
    EXPECT_EQ(b.Used(), 5);
    EXPECT_FALSE(b.Full());
    EXPECT_EQ(Contents(b), "DEFGH");

    // The three new bytes wrap to the start of the block.
    ASSERT_TRUE(b.Write("XYZ", 3));
    EXPECT_EQ(b.Start(), 3);
    EXPECT_EQ(b.End(), 3);
    EXPECT_TRUE(b.Full());
    EXPECT_EQ(b.Used(), 8);
    EXPECT_EQ(b.ContiguousUsed(), 5);
    EXPECT_EQ(Contents(b), "DEFGH");
    ASSERT_TRUE(b.Remove(5));
    EXPECT_EQ(Contents(b), "XYZ");
    EXPECT_EQ(b.Used(), 3);
}

TEST(CircularBuffer, WriteSplitsAcrossTheEndOfTheBlock)
{
    TCircularBuffer b(8);
    ASSERT_TRUE(b.Write("123456", 6));
    ASSERT_TRUE(b.Remove(5));
    // End = 6, Start = 5: two bytes fit before the end, three go to the start.
    ASSERT_TRUE(b.Write("abcde", 5));
    EXPECT_EQ(b.End(), 3);
    EXPECT_EQ(Contents(b), "6ab");
    ASSERT_TRUE(b.Remove(3));
    EXPECT_EQ(Contents(b), "cde");
    EXPECT_EQ(b.Free(), 5);
}

TEST(CircularBuffer, WriteIsAllOrNothing)
{
    TCircularBuffer b(8);
    ASSERT_TRUE(b.Write("12345", 5));
    EXPECT_FALSE(b.Write("abcd", 4)) << "one byte more than free";
    EXPECT_EQ(b.Used(), 5) << "nothing of a refused write is stored";
    EXPECT_TRUE(b.Write("abc", 3)) << "exactly the free size";
    EXPECT_TRUE(b.Full());
}

TEST(CircularBuffer, ZeroAndNegativeCounts)
{
    TCircularBuffer b(8);
    EXPECT_FALSE(b.Write("x", 0));
    EXPECT_FALSE(b.Write("x", -1));
    EXPECT_EQ(b.Used(), 0);

    ASSERT_TRUE(b.Write("ABCDEFGH", 8));
    EXPECT_TRUE(b.Remove(0));
    EXPECT_TRUE(b.Full()) << "Remove(0) leaves Full as it was";
    EXPECT_FALSE(b.Remove(-1)) << "a negative count would re-send old bytes";
    EXPECT_EQ(b.Start(), 0);
    EXPECT_FALSE(b.Remove(9));
    EXPECT_EQ(b.Used(), 8) << "a refused Remove changes nothing";
}

TEST(CircularBuffer, ClearEmptiesAndResetsPositions)
{
    TCircularBuffer b(4);
    ASSERT_TRUE(b.Write("abcd", 4));
    ASSERT_TRUE(b.Remove(2));
    b.Clear();
    EXPECT_EQ(b.Used(), 0);
    EXPECT_EQ(b.Start(), 0);
    EXPECT_EQ(b.End(), 0);
    EXPECT_FALSE(b.Full());
    EXPECT_TRUE(b.Write("wxyz", 4));
    EXPECT_EQ(Contents(b), "wxyz");
}

TEST(CircularBuffer, EmptyBufferRefusesEverything)
{
    TCircularBuffer b(0);
    EXPECT_EQ(b.Free(), 0);
    EXPECT_FALSE(b.Write("a", 1));
    EXPECT_TRUE(b.Remove(0));
    TCircularBuffer neg(-5);
    EXPECT_EQ(neg.Size(), 0);
    EXPECT_FALSE(neg.Write("a", 1));
}
