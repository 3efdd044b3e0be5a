// Version collection basics, version selection, the block-request feed and the
// choice of the newest fitting version.
#include "firmware/SoftUpdate.h"

#include <gtest/gtest.h>

#include <numeric>

namespace
{

std::string Bytes(std::initializer_list<int> Values)
{
    std::string s;
    for (int v : Values)
        s += static_cast<char>(v);
    return s;
}

// 256 bytes that differ from block to block, so a wrong block is noticed.
std::string Pattern(int Seed, size_t Size = 256)
{
    std::string s(Size, '\0');
    for (size_t i = 0; i < Size; ++i)
        s[i] = static_cast<char>((Seed * 31 + static_cast<int>(i) * 7 + 3) & 0xFF);
    return s;
}

int Sum(const std::string& S)
{
    int total = 0;
    for (char c : S)
        total += static_cast<uint8_t>(c);
    return total & 0xFF;
}

TSoftwareVersion MakeVersion(const std::string& Title, bool Wide, const std::string& Map,
                             std::initializer_list<int> Stored)
{
    TSoftwareVersion v;
    v.Info.Title = Title;
    v.Wide = Wide;
    v.Blocks = Map;
    for (int n : Stored) {
        v.BlockNumbers.push_back(std::to_string(n));
        v.BlockData.push_back(Pattern(n));
    }
    v.CRC = 0xBEEF;
    return v;
}

// Feeds received bytes through ProcessChar and collects the answers; with
// Results, also what ParseChar said about each byte (taken on a copy, so the
// fed object sees every byte exactly once).
std::string Feed(TSoftwareUpdate& U, const std::string& Received, std::string* Results = nullptr)
{
    std::string all;
    for (char c : Received) {
        if (Results != nullptr) {
            TSoftwareUpdate probe = U;
            *Results += static_cast<char>('0' + probe.ParseChar(static_cast<uint8_t>(c)));
        }
        std::string reply = "stale";
        U.ProcessChar(static_cast<uint8_t>(c), reply);
        all += reply;
    }
    return all;
}

std::string NarrowMap()
{
    std::string map(32, '\0');
    map[2] = '\x3F'; // blocks 16..21
    return map;
}

std::string WideMap(size_t Length = 64)
{
    std::string map(Length, '\0');
    map[2] = '\xFF';
    map[3] = '\x01';
    return map;
}

} // namespace

// ---------------------------------------------------------------------------
// Collection

TEST(SoftwareVersionCollection, IndexZeroIsTheVersionAddedLast)
{
    TSoftwareVersionCollection c;
    c.AddVersion(MakeVersion("A", false, NarrowMap(), {16}));
    c.AddVersion(MakeVersion("B", false, NarrowMap(), {16}));
    c.AddVersion(MakeVersion("C", false, NarrowMap(), {16}));
    ASSERT_EQ(c.Count(), 3);
    EXPECT_EQ(c.GetVersion(0)->Info.Title, "C");
    EXPECT_EQ(c.GetVersion(2)->Info.Title, "A");
    EXPECT_EQ(c.GetVersion(-5)->Info.Title, "C");
    EXPECT_EQ(c.GetVersion(3), nullptr);
    EXPECT_EQ(c.First(), c.GetVersion(0));

    TSoftwareVersionInfo info;
    c.GetVersionInfo(1, info);
    EXPECT_EQ(info.Title, "B");
    info.Version = 7;
    info.HardwareRev.set(4);
    c.GetVersionInfo(3, info);
    EXPECT_EQ(info.Title, "");
    EXPECT_EQ(info.Version, 0);
    EXPECT_TRUE(info.HardwareRev.none());
    c.GetVersionInfo(-1, info);
    EXPECT_EQ(info.Title, "C");

    c.Clear();
    EXPECT_EQ(c.Count(), 0);
    EXPECT_EQ(c.First(), nullptr);
}

TEST(SoftwareVersionCollection, AddVersionKeepsItsOwnCopy)
{
    TSoftwareVersionCollection c;
    TSoftwareVersion v = MakeVersion("A", false, NarrowMap(), {16, 17});
    c.AddVersion(v);
    v.BlockData[0] = "changed";
    v.Info.Title = "changed";
    EXPECT_EQ(c.GetVersion(0)->Info.Title, "A");
    EXPECT_EQ(c.GetVersion(0)->BlockData[0], Pattern(16));
}

TEST(SoftwareVersionCollection, SameTitleTwiceFindsTheOneAddedFirst)
{
    TSoftwareVersionCollection c;
    c.AddVersion(MakeVersion("Dup", false, NarrowMap(), {16}));
    c.AddVersion(MakeVersion("Other", false, NarrowMap(), {16}));
    c.AddVersion(MakeVersion("Dup", false, NarrowMap(), {17}));
    EXPECT_EQ(c.Count(), 3);
    EXPECT_EQ(c.IndexOfTitle("Dup"), 2);
    EXPECT_EQ(c.IndexOfTitle("Other"), 1);
    EXPECT_EQ(c.IndexOfTitle("dup"), -1);
    EXPECT_EQ(c.IndexOfTitle(""), -1);
}

TEST(SoftwareVersionCollection, BlockOfGivesErasedFlashForMissingBlocks)
{
    const TSoftwareVersion v = MakeVersion("A", false, NarrowMap(), {16});
    EXPECT_EQ(BlockOf(v, 16), Pattern(16));
    EXPECT_EQ(BlockOf(v, 17), std::string(256, '\xFF'));

    TSoftwareVersion w;
    SetBlock(w, 5, true, "0102zz04");
    EXPECT_EQ(BlockOf(w, 5), Bytes({1, 2, 0, 4}));
    SetBlock(w, 5, false, std::string(300, 'x'));
    EXPECT_EQ(w.BlockNumbers.size(), 1u);
    EXPECT_EQ(BlockOf(w, 5), std::string(256, 'x'));

    // A hand-made version with lists of unequal length is never indexed past their end.
    TSoftwareVersion odd;
    odd.BlockNumbers = {"1", "2"};
    odd.BlockData = {"a"};
    EXPECT_EQ(BlockOf(odd, 2), std::string(256, '\xFF'));
    SetBlock(odd, 2, false, "b");
    EXPECT_EQ(odd.BlockNumbers, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(odd.BlockData, (std::vector<std::string>{"a", "b"}));
}

// ---------------------------------------------------------------------------
// Layout and map

TEST(SoftwareUpdate, LayoutsSetSpecialBlockNumbers)
{
    TSoftwareUpdate u;
    EXPECT_FALSE(u.Wide);
    EXPECT_EQ(u.MapBlock, 1);
    EXPECT_EQ(u.InfoBlock, -1);
    EXPECT_EQ(u.EndBlock, 0);
    EXPECT_EQ(u.MaxBlock, 255);
    u.SetWide(true);
    EXPECT_EQ(u.MapBlock, -1);
    EXPECT_EQ(u.InfoBlock, 0xFFFD);
    EXPECT_EQ(u.EndBlock, 0xFFFF);
    EXPECT_EQ(u.MaxBlock, 2047);
}

TEST(SoftwareUpdate, SetWideDropsAMapOfTheWrongLength)
{
    TSoftwareUpdate u;
    u.Blocks = std::string(32, '\x01');
    u.SetWide(false);
    EXPECT_EQ(u.Blocks.size(), 32u);
    u.SetWide(true);
    EXPECT_TRUE(u.Blocks.empty());
    u.Blocks = std::string(64, '\x01');
    u.SetWide(true);
    EXPECT_EQ(u.Blocks.size(), 64u);
    u.SetWide(false);
    EXPECT_TRUE(u.Blocks.empty());
}

TEST(SoftwareUpdate, SetBlockMapSizesTheBlockRange)
{
    TSoftwareUpdate u;
    u.SetBlockMap(std::string(80, 'A')); // 40 map bytes
    EXPECT_EQ(u.Blocks, std::string(32, '\xAA'));
    EXPECT_EQ(u.MaxBlock, 255);

    u.SetWide(true);
    u.SetBlockMap(std::string(128, '1')); // 64 map bytes
    EXPECT_EQ(u.Blocks, std::string(64, '\x11'));
    EXPECT_EQ(u.MaxBlock, 1023);
    u.SetBlockMap(std::string(256, '0'));
    EXPECT_EQ(u.MaxBlock, 2047);
    u.SetBlockMap("");
    EXPECT_EQ(u.MaxBlock, -1);
    EXPECT_FALSE(u.IsReady());
}

// ---------------------------------------------------------------------------
// Selection

TEST(SoftwareUpdate, SelectStarTakesTheVersionAddedLast)
{
    TSoftwareVersionCollection c;
    c.AddVersion(MakeVersion("one", false, NarrowMap(), {16}));
    c.AddVersion(MakeVersion("two", false, NarrowMap(), {16}));
    TSoftwareVersion third = MakeVersion("three", true, WideMap(), {16, 17, 300});
    third.Info.Type = 4;
    third.Info.Version = 513;
    third.Info.Class = 21;
    third.Info.Hardware = -7;
    third.Info.HardwareID = 0x1234;
    third.Info.HardwareRev.set(3).set(200);
    third.CRC = 0x4321;
    c.AddVersion(third);

    TSoftwareUpdate u;
    ASSERT_TRUE(u.Select(c, "*"));
    EXPECT_TRUE(u.IsReady());
    EXPECT_EQ(u.Title, "three");
    EXPECT_TRUE(u.Wide);
    EXPECT_EQ(u.InfoBlock, 0xFFFD);
    EXPECT_EQ(u.Blocks, WideMap());
    EXPECT_EQ(u.MaxBlock, 1023);
    EXPECT_EQ(u.BlockNumbers, (std::vector<std::string>{"16", "17", "300"}));
    EXPECT_EQ(u.BlockOf(300), Pattern(300));
    EXPECT_EQ(u.Type, 4);
    EXPECT_EQ(u.Version, 513);
    EXPECT_EQ(u.Class, 21);
    EXPECT_EQ(u.Hardware, -7);
    EXPECT_EQ(u.HardwareID, 0x1234);
    EXPECT_EQ(u.HardwareRev, third.Info.HardwareRev);
    EXPECT_EQ(u.CRC, 0x4321);

    ASSERT_TRUE(u.Select(c, "one"));
    EXPECT_EQ(u.Title, "one");
    EXPECT_FALSE(u.Wide);
    EXPECT_EQ(u.MapBlock, 1);
    EXPECT_EQ(u.HardwareID, 0);
    EXPECT_TRUE(u.HardwareRev.none());
}

TEST(SoftwareUpdate, SelectOfUnknownTitleOrEmptyCollectionChangesNothing)
{
    TSoftwareVersionCollection c;
    c.AddVersion(MakeVersion("kept", false, NarrowMap(), {16}));
    TSoftwareUpdate u;
    ASSERT_TRUE(u.Select(c, "kept"));
    EXPECT_FALSE(u.Select(c, "missing"));
    EXPECT_FALSE(u.Select(c, "KEPT"));
    EXPECT_EQ(u.Title, "kept");
    EXPECT_TRUE(u.IsReady());

    TSoftwareVersionCollection empty;
    EXPECT_FALSE(u.Select(empty, "*"));
    EXPECT_EQ(u.Title, "kept");
    EXPECT_TRUE(u.IsReady());

    // SelectIndex past the end clears.
    EXPECT_FALSE(u.SelectIndex(c, 1));
    EXPECT_EQ(u.Title, "");
    EXPECT_FALSE(u.IsReady());
}

TEST(SoftwareUpdate, ClearForgetsTheVersionButKeepsTheLayout)
{
    TSoftwareVersionCollection c;
    TSoftwareVersion v = MakeVersion("w", true, WideMap(), {16});
    v.Info.HardwareRev.set(1);
    v.Info.Version = 9;
    c.AddVersion(v);
    TSoftwareUpdate u;
    ASSERT_TRUE(u.Select(c, "*"));
    ASSERT_TRUE(u.Restart());
    u.Clear();
    EXPECT_FALSE(u.IsReady());
    EXPECT_FALSE(u.Active);
    EXPECT_EQ(u.Title, "");
    EXPECT_EQ(u.Version, 0);
    EXPECT_EQ(u.CRC, -1);
    EXPECT_TRUE(u.HardwareRev.none());
    EXPECT_TRUE(u.BlockNumbers.empty());
    EXPECT_TRUE(u.Wide);
    EXPECT_EQ(u.EndBlock, 0xFFFF);
}

// ---------------------------------------------------------------------------
// Request parser and answers, narrow layout

class NarrowFeed : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        TSoftwareVersion v = MakeVersion("narrow", false, NarrowMap(), {5, 16, 17});
        v.BlockData[2] = Bytes({0xAA, 0xBB, 0xCC}); // a short block, as INI text allows
        Collection.AddVersion(v);
        ASSERT_TRUE(U.Select(Collection, "*"));
    }
    TSoftwareVersionCollection Collection;
    TSoftwareUpdate U;
};

TEST_F(NarrowFeed, DataRequestGetsTheFramedBlock)
{
    std::string results;
    const std::string reply = Feed(U, Bytes({0x7B, 0x05, 0x7D}), &results);
    EXPECT_EQ(results, "112");
    EXPECT_EQ(U.Requested, 5);
    const std::string expected = Bytes({0x7B, 0x05, 0x00}) + Pattern(5) +
                                 static_cast<char>((0x05 + 0x00 + Sum(Pattern(5))) & 0xFF) + "}";
    EXPECT_EQ(reply, expected);
    EXPECT_EQ(U.LastServed, 5);
    EXPECT_TRUE(U.Active);
}

TEST_F(NarrowFeed, ShortAndMissingBlocks)
{
    EXPECT_EQ(Feed(U, Bytes({0x7B, 17, 0x7D})),
              Bytes({0x7B, 17, 3, 0xAA, 0xBB, 0xCC, (17 + 3 + 0xAA + 0xBB + 0xCC) & 0xFF, 0x7D}));
    const std::string ff(256, '\xFF');
    EXPECT_EQ(Feed(U, Bytes({0x7B, 200, 0x7D})),
              Bytes({0x7B, 200, 0}) + ff + static_cast<char>((200 + Sum(ff)) & 0xFF) + "}");
}

TEST_F(NarrowFeed, MapRequestAndEndOfTransfer)
{
    const std::string map = NarrowMap();
    EXPECT_EQ(Feed(U, Bytes({0x7B, 0x01, 0x7D})),
              Bytes({0x7B, 0x01, 0x20}) + map + static_cast<char>((1 + 0x20 + Sum(map)) & 0xFF) + "}");
    EXPECT_EQ(U.LastServed, 1);
    EXPECT_TRUE(U.Active);
    EXPECT_EQ(Feed(U, Bytes({0x7B, 0x00, 0x7D})), "");
    EXPECT_FALSE(U.Active);
    EXPECT_EQ(U.LastServed, 0);
}

TEST_F(NarrowFeed, BlockNumbersEqualToBracesAreStillRecognised)
{
    const std::string ff(256, '\xFF');
    std::string results;
    EXPECT_EQ(Feed(U, Bytes({0x7B, 0x7B, 0x7D}), &results),
              Bytes({0x7B, 0x7B, 0}) + ff + static_cast<char>((0x7B + Sum(ff)) & 0xFF) + "}");
    EXPECT_EQ(results, "112");
    results.clear();
    EXPECT_EQ(Feed(U, Bytes({0x7B, 0x7D, 0x7D}), &results).size(), 261u);
    EXPECT_EQ(results, "102"); // the first "}" is not yet a complete request
    EXPECT_EQ(U.Requested, 0x7D);
}

TEST_F(NarrowFeed, StrayBytesGiveNothing)
{
    std::string results;
    EXPECT_EQ(Feed(U, Bytes({0x7D, 0x41, 0x05, 0x7D}), &results), "");
    EXPECT_EQ(results, "0000");
    EXPECT_EQ(U.Requested, 0);
    EXPECT_FALSE(U.Active);
    // "{" directly followed by "}" names no block.
    results.clear();
    EXPECT_EQ(Feed(U, Bytes({0x7B, 0x7D}), &results), "");
    EXPECT_EQ(results, "10");
    // Nor does the number byte that follows complete it.
    EXPECT_EQ(Feed(U, Bytes({0x05, 0x7D})), "");
}

TEST_F(NarrowFeed, ResetRequestDropsAPendingRequest)
{
    TSoftwareUpdate probe = U;
    EXPECT_EQ(probe.ParseChar(0x7B), 1);
    probe.ResetRequest();
    EXPECT_EQ(probe.Pending, 0);
    EXPECT_EQ(probe.ParseChar(0x05), 0);
    EXPECT_EQ(probe.History[2], 0x7B); // history is kept
    EXPECT_EQ(probe.ParseChar(0x7D), 2);
    EXPECT_EQ(probe.Requested, 5);
}

TEST(SoftwareUpdate, NothingIsAnsweredWithoutAVersion)
{
    TSoftwareUpdate u;
    std::string results;
    EXPECT_EQ(Feed(u, Bytes({0x7B, 0x05, 0x7D, 0x7B, 0x01, 0x7D}), &results), "");
    EXPECT_EQ(results, "112112");
    EXPECT_FALSE(u.Active);
    EXPECT_FALSE(u.Restart());
    EXPECT_FALSE(u.Active);
}

// ---------------------------------------------------------------------------
// Wide layout

class WideFeed : public ::testing::Test
{
  protected:
    void Select(int32_t HardwareID)
    {
        TSoftwareVersion v = MakeVersion("wide", true, WideMap(), {16, 0x123});
        v.CRC = 0xA1B2;
        v.Info.HardwareID = HardwareID;
        Collection.Clear();
        Collection.AddVersion(v);
        ASSERT_TRUE(U.Select(Collection, "wide"));
    }
    TSoftwareVersionCollection Collection;
    TSoftwareUpdate U;
};

TEST_F(WideFeed, InfoRequestCarriesMapCrcAndHardwareId)
{
    Select(0x0C0D);
    std::string results;
    const std::string reply = Feed(U, Bytes({0x7B, 0xFF, 0xFD, 0x7D}), &results);
    EXPECT_EQ(results, "1112");
    const std::string payload = WideMap() + Bytes({0xA1, 0xB2, 0x0C, 0x0D});
    EXPECT_EQ(reply, Bytes({0x7B, 0xFF, 0xFD, 68}) + payload +
                         static_cast<char>((0xFF + 0xFD + 68 + Sum(payload)) & 0xFF) + "}");
    EXPECT_EQ(U.LastServed, -1);
    EXPECT_TRUE(U.Active);
    EXPECT_EQ(U.Progress(), 0.0);
}

TEST_F(WideFeed, InfoRequestWithoutHardwareId)
{
    Select(0);
    const std::string payload = WideMap() + Bytes({0xA1, 0xB2});
    EXPECT_EQ(Feed(U, Bytes({0x7B, 0xFF, 0xFD, 0x7D})),
              Bytes({0x7B, 0xFF, 0xFD, 66}) + payload +
                  static_cast<char>((0xFF + 0xFD + 66 + Sum(payload)) & 0xFF) + "}");
}

TEST_F(WideFeed, DataRequestsUseTwoByteNumbers)
{
    Select(0);
    const std::string block = Pattern(0x123);
    EXPECT_EQ(Feed(U, Bytes({0x7B, 0x01, 0x23, 0x7D})),
              Bytes({0x7B, 0x01, 0x23, 0x00}) + block + static_cast<char>((0x01 + 0x23 + Sum(block)) & 0xFF) +
                  "}");
    EXPECT_EQ(U.LastServed, 0x123);
    // Narrow map request number 1 is a plain data block here.
    EXPECT_EQ(Feed(U, Bytes({0x7B, 0x00, 0x01, 0x7D})).size(), 262u);
    EXPECT_EQ(U.LastServed, 1);
}

TEST_F(WideFeed, EndRequestStopsWithoutAnswer)
{
    Select(0);
    ASSERT_FALSE(Feed(U, Bytes({0x7B, 0x00, 0x10, 0x7D})).empty());
    ASSERT_TRUE(U.Active);
    EXPECT_EQ(Feed(U, Bytes({0x7B, 0xFF, 0xFF, 0x7D})), "");
    EXPECT_FALSE(U.Active);
    EXPECT_EQ(U.LastServed, 0);
}

TEST_F(WideFeed, NumbersAboveTheMapRangeAreIgnored)
{
    Select(0);
    ASSERT_FALSE(Feed(U, Bytes({0x7B, 0x00, 0x10, 0x7D})).empty());
    // 64 map bytes name blocks up to 1023; 0xFFFE is neither a data nor a special block.
    for (int n : {1024, 0xFFFE, 0x7D7B}) {
        std::string results;
        EXPECT_EQ(Feed(U, Bytes({0x7B, n >> 8, n & 0xFF, 0x7D}), &results), "") << n;
        EXPECT_EQ(results.back(), '2');
        EXPECT_EQ(U.Requested, n);
        EXPECT_EQ(U.LastServed, 0x10);
        EXPECT_TRUE(U.Active);
    }
    EXPECT_EQ(Feed(U, Bytes({0x7B, 0x03, 0xFF, 0x7D})).size(), 262u);
}

TEST_F(WideFeed, BraceBytesInsideTheNumber)
{
    Select(0);
    std::string results;
    EXPECT_EQ(Feed(U, Bytes({0x7B, 0x7B, 0x7D, 0x7D}), &results), "");
    EXPECT_EQ(results, "1102");
    EXPECT_EQ(U.Requested, 0x7B7D);
    results.clear();
    Feed(U, Bytes({0x7B, 0x03, 0x7B, 0x7D}), &results);
    EXPECT_EQ(results, "1112");
    EXPECT_EQ(U.Requested, 0x037B);
    EXPECT_EQ(U.LastServed, 0x037B);
}

TEST(SoftwareUpdate, LengthByteIsModulo256)
{
    TSoftwareUpdate u;
    EXPECT_EQ(u.MakeFrame(0x0102, std::string(256, '\x01')).substr(0, 3), Bytes({0x7B, 0x02, 0x00}));
    u.SetWide(true);
    const std::string frame = u.MakeFrame(0x0102, std::string(260, '\x01'));
    EXPECT_EQ(frame.substr(0, 4), Bytes({0x7B, 0x01, 0x02, 0x04}));
    EXPECT_EQ(frame.size(), 4u + 260u + 2u);
    EXPECT_EQ(static_cast<uint8_t>(frame[frame.size() - 2]), (0x01 + 0x02 + 0x04 + 260) & 0xFF);
    EXPECT_EQ(u.MakeFrame(7, ""), Bytes({0x7B, 0x00, 0x07, 0x00, 0x07, 0x7D}));
}

// ---------------------------------------------------------------------------
// Progress

namespace
{

// 40 set bits: 10 below bit 20, 30 from bit 20 on.
std::string FortyBitMap(size_t Length)
{
    std::string map(Length, '\0');
    for (int bit = 10; bit < 50; ++bit)
        map[static_cast<size_t>(bit / 8)] =
            static_cast<char>(map[static_cast<size_t>(bit / 8)] | 1 << (bit % 8));
    return map;
}

TSoftwareUpdate Served(bool Wide, const std::string& Map, int Block)
{
    TSoftwareVersionCollection c;
    c.AddVersion(MakeVersion("p", Wide, Map, {16}));
    TSoftwareUpdate u;
    u.Select(c, "*");
    if (Wide)
        Feed(u, Bytes({0x7B, Block >> 8, Block & 0xFF, 0x7D}));
    else
        Feed(u, Bytes({0x7B, Block, 0x7D}));
    return u;
}

} // namespace

TEST(SoftwareUpdateProgress, CountsSetMapBitsBelowTheServedBlock)
{
    EXPECT_DOUBLE_EQ(Served(false, FortyBitMap(32), 20).Progress(), 25.0);
    // Wide transfers count down from the top.
    EXPECT_DOUBLE_EQ(Served(true, FortyBitMap(64), 20).Progress(), 75.0);
    EXPECT_DOUBLE_EQ(Served(false, FortyBitMap(32), 50).Progress(), 100.0);
    EXPECT_DOUBLE_EQ(Served(false, FortyBitMap(32), 11).Progress(), 2.5);
}

TEST(SoftwareUpdateProgress, DoubleMapHalvesTheBlockNumber)
{
    std::string map(64, '\0');
    map[0] = '\x07';
    map[1] = '\xE3'; // 8 set bits, counted like any other
    map[2] = '\xFF'; // bits 16..23
    // Block 40 is map bit 20: 12 of 16 set bits lie below it.
    EXPECT_DOUBLE_EQ(Served(true, map, 40).Progress(), 25.0);
    EXPECT_DOUBLE_EQ(Served(true, map, 41).Progress(), 25.0);
}

TEST(SoftwareUpdateProgress, ZeroWhenIdleOrWithoutSetBits)
{
    TSoftwareUpdate u = Served(false, FortyBitMap(32), 20);
    u.Active = false;
    EXPECT_EQ(u.Progress(), 0.0);
    EXPECT_EQ(Served(false, std::string(32, '\0'), 20).Progress(), 0.0);
    TSoftwareUpdate m = Served(false, FortyBitMap(32), 1); // the map request
    EXPECT_TRUE(m.Active);
    EXPECT_EQ(m.LastServed, 1);
    EXPECT_EQ(m.Progress(), 0.0);
}

TEST(SoftwareUpdate, RestartAndRestartIf)
{
    TSoftwareVersionCollection c;
    c.AddVersion(MakeVersion("r", false, NarrowMap(), {16}));
    TSoftwareUpdate u;
    u.Select(c, "*");
    Feed(u, Bytes({0x7B, 16, 0x7D, 0x7B}));
    ASSERT_EQ(u.LastServed, 16);
    ASSERT_EQ(u.Pending, 1);
    EXPECT_TRUE(u.Restart());
    EXPECT_TRUE(u.Active);
    EXPECT_EQ(u.LastServed, 0);
    EXPECT_EQ(u.Pending, 0);
    EXPECT_EQ(u.Requested, 16);
    EXPECT_FALSE(u.RestartIf(false));
    EXPECT_FALSE(u.Active);
    EXPECT_TRUE(u.RestartIf(true));
    u.ResetRequest();
    EXPECT_FALSE(u.Active);
}

// ---------------------------------------------------------------------------
// FindNewestSoftware

namespace
{

TSoftwareVersion Candidate(const std::string& Title, uint16_t Version, uint8_t Class = 21,
                           int32_t Hardware = 2, std::initializer_list<int> Revisions = {}, uint16_t Type = 0)
{
    TSoftwareVersion v = MakeVersion(Title, false, NarrowMap(), {16});
    v.Info.Version = Version;
    v.Info.Class = Class;
    v.Info.Hardware = Hardware;
    v.Info.Type = Type;
    for (int r : Revisions)
        v.Info.HardwareRev.set(static_cast<size_t>(r));
    return v;
}

} // namespace

TEST(FindNewestSoftware, HighestVersionAboveMinimum)
{
    TSoftwareVersionCollection c;
    c.AddVersion(Candidate("v5", 5));
    c.AddVersion(Candidate("v3", 3));
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, 0, 0, 0), "v5");
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, 0, 0, 4), "v5");
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, 0, 0, 5), "");
    EXPECT_EQ(FindNewestSoftware(c, 22, 2, 0, 0, 0), "");
    EXPECT_EQ(FindNewestSoftware(c, 21, 3, 0, 0, 0), "");
    EXPECT_EQ(FindNewestSoftware(TSoftwareVersionCollection(), 21, 2, 0, 0, 0), "");
}

TEST(FindNewestSoftware, EqualVersionsPreferTheOneAddedLast)
{
    TSoftwareVersionCollection c;
    c.AddVersion(Candidate("older", 7));
    c.AddVersion(Candidate("newer", 7));
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, 0, 0, 0), "newer");
}

TEST(FindNewestSoftware, RevisionSets)
{
    TSoftwareVersionCollection c;
    c.AddVersion(Candidate("any", 1));
    c.AddVersion(Candidate("rev3", 4, 21, 2, {3, 255}));
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, 3, 0, 0), "rev3");
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, 255, 0, 0), "rev3");
    // An empty set fits every revision, including numbers no set can hold.
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, 4, 0, 0), "any");
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, 256 + 3, 0, 0), "any");
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, -1, 0, 0), "any");

    TSoftwareVersionCollection only;
    only.AddVersion(Candidate("rev3", 4, 21, 2, {3}));
    EXPECT_EQ(FindNewestSoftware(only, 21, 2, 259, 0, 0), "");
}

TEST(FindNewestSoftware, TypeZeroFitsAnyType)
{
    TSoftwareVersionCollection c;
    c.AddVersion(Candidate("t1", 9, 21, 2, {}, 1));
    c.AddVersion(Candidate("t2", 8, 21, 2, {}, 2));
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, 0, 0, 0), "t1");
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, 0, 2, 0), "t2");
    EXPECT_EQ(FindNewestSoftware(c, 21, 2, 0, 3, 0), "");
}
