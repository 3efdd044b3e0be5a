// Reading versions from their package forms: INI text, "QVD_FW_v01" and
// "QVD_CFW_v01" containers, and 7z archives (through the embedded 7-Zip
// library). Containers are enciphered with the real keys by fwpack's writers;
// the edge cases build their records by hand.
#include "firmware/Keys.h"
#include "firmware/SoftUpdate.h"
#include "tools/fwpack/FwPack.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace
{

// Bit by bit, to check the table-driven CRC against something else.
uint16_t RefCrc(uint16_t Crc, const std::string& S)
{
    for (char c : S) {
        Crc ^= static_cast<uint16_t>(static_cast<uint8_t>(c) << 8);
        for (int i = 0; i < 8; ++i)
            Crc = static_cast<uint16_t>(Crc & 0x8000 ? (Crc << 1) ^ 0x1021 : Crc << 1);
    }
    return Crc;
}

uint16_t RefChecksum(const std::string& Map, const std::map<int, std::string>& Blocks)
{
    auto block = [&](int n) {
        auto it = Blocks.find(n);
        return it == Blocks.end() ? std::string(256, '\xFF') : it->second;
    };
    const bool twice = Map.size() >= 2 && Map[0] == '\x07' && Map[1] == '\xE3';
    uint16_t crc = RefCrc(0xFFFF, Map);
    for (size_t k = 2; k < Map.size(); ++k)
        for (int b = 0; b < 8; ++b)
            if (static_cast<uint8_t>(Map[k]) >> b & 1) {
                const int n = static_cast<int>(8 * k) + b;
                crc = twice ? RefCrc(RefCrc(crc, block(2 * n)), block(2 * n + 1)) : RefCrc(crc, block(n));
            }
    return crc;
}

std::string Page(int Seed)
{
    std::string s(256, '\0');
    for (size_t i = 0; i < 256; ++i)
        s[i] = static_cast<char>((Seed * 13 + static_cast<int>(i) * 5) & 0xFF);
    return s;
}

std::string Hex(const std::string& S)
{
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (char c : S) {
        out += digits[static_cast<uint8_t>(c) >> 4];
        out += digits[static_cast<uint8_t>(c) & 15];
    }
    return out;
}

std::string MapWith(size_t Length, std::initializer_list<int> Bits)
{
    std::string map(Length, '\0');
    for (int b : Bits)
        map[static_cast<size_t>(b / 8)] = static_cast<char>(map[static_cast<size_t>(b / 8)] | 1 << (b % 8));
    return map;
}

const TSoftwareVersion& Only(const TSoftwareVersionCollection& C)
{
    EXPECT_EQ(C.Count(), 1);
    static const TSoftwareVersion none;
    return C.Count() > 0 ? *C.GetVersion(0) : none;
}

} // namespace

// ---------------------------------------------------------------------------
// Checksum

TEST(CalcChecksum, MapThenMappedBlocksInBitOrder)
{
    ASSERT_EQ(RefCrc(0xFFFF, "123456789"), 0x29B1);
    TSoftwareVersion v;
    v.Blocks = "12";
    EXPECT_EQ(TSoftwareVersionCollection::CalcChecksum(v), RefCrc(0xFFFF, "12"));

    // Bits in the first two map bytes name no checked block; missing blocks count as erased.
    v.Blocks = MapWith(4, {0, 5, 17, 18, 25});
    std::map<int, std::string> blocks{{0, Page(0)}, {5, Page(5)}, {17, Page(17)}, {25, Page(25)}};
    for (const auto& [n, data] : blocks)
        SetBlock(v, n, false, data);
    EXPECT_EQ(TSoftwareVersionCollection::CalcChecksum(v), RefChecksum(v.Blocks, blocks));
    SetBlock(v, 0, false, Page(99));
    SetBlock(v, 5, false, Page(99));
    EXPECT_EQ(TSoftwareVersionCollection::CalcChecksum(v), RefChecksum(v.Blocks, blocks));
    SetBlock(v, 18, false, "\x01");
    blocks[18] = "\x01";
    EXPECT_EQ(TSoftwareVersionCollection::CalcChecksum(v), RefChecksum(v.Blocks, blocks));
}

TEST(CalcChecksum, DoubleMapChecksBlockPairs)
{
    TSoftwareVersion v;
    v.Blocks = MapWith(3, {0, 1, 2, 8, 9, 13, 14, 15, 16, 19});
    ASSERT_TRUE(IsDoubleMap(v.Blocks));
    EXPECT_EQ(HighestMappedBlock(v.Blocks), 47);
    std::map<int, std::string> blocks{{32, Page(32)}, {33, Page(33)}, {38, Page(38)}};
    for (const auto& [n, data] : blocks)
        SetBlock(v, n, false, data);
    EXPECT_EQ(TSoftwareVersionCollection::CalcChecksum(v), RefChecksum(v.Blocks, blocks));
    // Swapping the pair changes the sum: the order is 2n, then 2n + 1.
    SetBlock(v, 32, false, Page(33));
    SetBlock(v, 33, false, Page(32));
    EXPECT_NE(TSoftwareVersionCollection::CalcChecksum(v), RefChecksum(v.Blocks, blocks));
}

// ---------------------------------------------------------------------------
// INI text

namespace
{

std::string Section(const std::string& Name, const std::string& Keys)
{
    return "[" + Name + "]\n" + Keys;
}

} // namespace

TEST(LoadFromIniText, ReadsIdentityMapAndBlocks)
{
    const std::string map = MapWith(32, {16, 17, 40});
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromIniText(
                  Section("CX21", "Title = CX21 firmware\nType=70000\nVersion=$0136\nClass=300\n"
                                  "Hardware=-5\nHardwareID=0x1234\nHardwareRev = 1, 2 ,257,\n"
                                  "Blocks=" +
                                      Hex(map) + "\n16=" + Hex(Page(16)) + "\n17=" + Hex(Page(17)) + "\n")),
              1);
    const TSoftwareVersion& v = Only(c);
    EXPECT_EQ(v.Info.Title, "CX21 firmware");
    EXPECT_EQ(v.Info.Type, 70000 & 0xFFFF);
    EXPECT_EQ(v.Info.Version, 0x136);
    EXPECT_EQ(v.Info.Class, 300 & 0xFF);
    EXPECT_EQ(v.Info.Hardware, -5);
    EXPECT_EQ(v.Info.HardwareID, 0x1234);
    EXPECT_EQ(v.Info.HardwareRev, std::bitset<256>().set(1).set(2));
    EXPECT_FALSE(v.Wide);
    EXPECT_EQ(v.Blocks, map);
    EXPECT_EQ(v.BlockNumbers, (std::vector<std::string>{"16", "17"}));
    EXPECT_EQ(v.BlockData[1], Page(17));
    EXPECT_EQ(v.CRC, RefChecksum(map, {{16, Page(16)}, {17, Page(17)}}));
}

TEST(LoadFromIniText, TitleDefaultsToTheSectionName)
{
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromIniText(Section(" Named Section ", "Blocks=0000FF\n16=00\n")), 1);
    EXPECT_EQ(Only(c).Info.Title, "Named Section");
    EXPECT_TRUE(Only(c).Info.HardwareRev.none());
}

TEST(LoadFromIniText, MissingEmptyOrNonHexCrcIsComputed)
{
    const std::string body = "Blocks=0000FF\n16=" + Hex(Page(1)) + "\n";
    const uint16_t crc = RefChecksum(std::string("\0\0\xFF", 3), {{16, Page(1)}});
    TSoftwareVersionCollection c;
    EXPECT_EQ(c.LoadFromIniText(Section("a", body) + Section("b", "CRC=\n" + body) +
                                Section("c", "CRC=12G4\n" + body) + Section("d", "CRC=0x12\n" + body)),
              4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(c.GetVersion(i)->CRC, crc) << i;
}

TEST(LoadFromIniText, GivenCrcMustMatch)
{
    const std::string body = "Blocks=0000FF\n16=" + Hex(Page(1)) + "\n";
    const uint16_t crc = RefChecksum(std::string("\0\0\xFF", 3), {{16, Page(1)}});
    char good[8];
    std::snprintf(good, sizeof good, "%04x", crc);
    char bad[8];
    std::snprintf(bad, sizeof bad, "%04X", crc ^ 0x0100);
    TSoftwareVersionCollection c;
    EXPECT_EQ(c.LoadFromIniText(Section("good", std::string("CRC=") + good + "\n" + body) +
                                Section("bad", std::string("CRC=") + bad + "\n" + body) +
                                Section("wide", std::string("CRC=1") + good + "\n" + body)),
              1);
    EXPECT_EQ(Only(c).Info.Title, "good");
}

TEST(LoadFromIniText, NarrowKeepsThirtyTwoMapBytes)
{
    const std::string map(40, '\xFF');
    TSoftwareVersionCollection c;
    ASSERT_EQ(
        c.LoadFromIniText(Section("n", "AddressWidth=8\nBlocks=" + Hex(map) + "\n255=01\n256=02\n300=03\n")),
        1);
    EXPECT_EQ(Only(c).Blocks, std::string(32, '\xFF'));
    EXPECT_EQ(Only(c).BlockNumbers, std::vector<std::string>{"255"});

    TSoftwareVersionCollection w;
    ASSERT_EQ(
        w.LoadFromIniText(Section("w", "AddressWidth=16\nBlocks=" + Hex(map) + "\n255=01\n300=03\n320=04\n")),
        1);
    EXPECT_TRUE(Only(w).Wide);
    EXPECT_EQ(Only(w).Blocks, map);
    EXPECT_EQ(Only(w).BlockNumbers, (std::vector<std::string>{"255", "300"}));
}

TEST(LoadFromIniText, DoubleMapReachesTwiceAsFar)
{
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromIniText(Section("d", "AddressWidth=16\nBlocks=07E3FF\n47=AA\n48=BB\n")), 1);
    EXPECT_EQ(Only(c).BlockNumbers, std::vector<std::string>{"47"});
}

TEST(LoadFromIniText, BlockValuesAreCutToOnePage)
{
    const std::string longValue = Hex(Page(3)) + "ABCDEF";
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromIniText(Section("s", "Blocks=0000030000\n16=" + longValue + "\n17=AABBC\n18=zz01\n")),
              1);
    const TSoftwareVersion& v = Only(c);
    EXPECT_EQ(BlockOf(v, 16), Page(3));
    EXPECT_EQ(BlockOf(v, 17), std::string("\xAA\xBB\x0C", 3));
    EXPECT_EQ(BlockOf(v, 18), std::string("\x00\x01", 2));
    // The short block takes part in the checksum with its own length.
    EXPECT_EQ(v.CRC, RefChecksum(std::string("\0\0\x03\0\0", 5), {{16, Page(3)}, {17, "\xAA\xBB\x0C"}}));
}

TEST(LoadFromIniText, BlockKeysReadAsDecimalNumbers)
{
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromIniText(
                  Section("k", "Blocks=0000FFFF\n016=AA\n+17=BB\n1,8=CC\n19=DD\n019=EE\n-1=FF\nx20=11\n")),
              1);
    const TSoftwareVersion& v = Only(c);
    // A number spelled otherwise keeps its own value unless the plain spelling is there too.
    EXPECT_EQ(BlockOf(v, 16), "\xAA");
    EXPECT_EQ(BlockOf(v, 17), "\xBB");
    EXPECT_EQ(BlockOf(v, 18), "\xCC");
    EXPECT_EQ(BlockOf(v, 19), "\xDD");
    EXPECT_EQ(v.BlockNumbers.size(), 4u);
}

TEST(LoadFromIniText, SectionsWithoutMapOrBlockAreSkipped)
{
    TSoftwareVersionCollection c;
    EXPECT_EQ(c.LoadFromIniText(Section("nomap", "16=AA\n") + Section("noblock", "Blocks=0000FF\n") +
                                Section("outside", "Blocks=0000FF\n24=AA\n") +
                                Section("ok", "Blocks=0000FF\n16=AA\n")),
              1);
    EXPECT_EQ(Only(c).Info.Title, "ok");
    EXPECT_EQ(c.LoadFromIniText(""), 0);
    EXPECT_EQ(c.LoadFromIniText(std::string("\0\xFF[\n=\n", 6)), 0);
}

TEST(LoadFromIniText, RevisionItemsThatAreNotNumbersNameRevisionZero)
{
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromIniText(Section("r", "HardwareRev=3,x,,-1\nBlocks=0000FF\n16=AA\n")), 1);
    EXPECT_EQ(Only(c).Info.HardwareRev, std::bitset<256>().set(0).set(3).set(255));
}

TEST(LoadFromIniText, ProgressIsReportedPerSectionWhenThereAreSeveral)
{
    TSoftwareVersionCollection c;
    std::vector<std::pair<int, int>> calls;
    c.OnProgress = [&](TSoftwareVersionCollection* Sender, int32_t Position, int32_t Count) {
        EXPECT_EQ(Sender, &c);
        calls.emplace_back(Position, Count);
    };
    c.LoadFromIniText(Section("one", "Blocks=0000FF\n16=AA\n"));
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(c.LoadFromIniText(Section("a", "Blocks=0000FF\n16=AA\n") + Section("b", "x=1\n") +
                                Section("c", "Blocks=0000FF\n16=AA\n")),
              2);
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{1, 3}, {2, 3}, {3, 3}}));
    EXPECT_EQ(c.Count(), 3);
}

// ---------------------------------------------------------------------------
// "QVD_FW_v01"

namespace
{

std::string Record(uint32_t Address, const std::string& Data)
{
    std::string r;
    r += static_cast<char>(Address >> 16 & 0xFF);
    r += static_cast<char>(Address >> 8 & 0xFF);
    r += static_cast<char>(Address & 0xFF);
    r += static_cast<char>(Data.size());
    return r + Data;
}

std::string Identity(uint8_t Class, uint8_t Hardware, uint8_t Rev, uint16_t Type, uint16_t Version,
                     char Bitmap = '\xFF')
{
    std::string id;
    id += static_cast<char>(Class);
    id += static_cast<char>(Hardware);
    id += static_cast<char>(Rev);
    id += static_cast<char>(Type >> 8);
    id += static_cast<char>(Type & 0xFF);
    id += static_cast<char>(Version >> 8);
    id += static_cast<char>(Version & 0xFF);
    return Record(0xFFFF00, id + std::string(17, Bitmap));
}

std::string MapRecord(const std::string& Map, uint16_t Crc, int HardwareId = -1)
{
    std::string data = Map;
    data += static_cast<char>(Crc >> 8);
    data += static_cast<char>(Crc & 0xFF);
    if (HardwareId >= 0) {
        data += static_cast<char>(HardwareId >> 8);
        data += static_cast<char>(HardwareId & 0xFF);
    }
    return Record(HardwareId >= 0 ? 0xFFFE00 : 0xFFFD00, data);
}

// Pads to whole cipher blocks with records that change nothing.
std::string Padded(std::string Records, uint32_t LastAddress)
{
    while (Records.size() % 16 != 0)
        Records += 16 - Records.size() % 16 > 4 ? Record(LastAddress, "")
                                                : std::string(16 - Records.size() % 16, '\0');
    return Records;
}

const std::string kIV = "0123456789abcdef";

std::string Seal(const std::string& Records, const std::string& Title = "T", uint8_t Code = 4,
                 const std::string& Key = EfwKey())
{
    return EfwContainer(Title, Code, kIV, AesCbcEncrypt(Key, kIV, Records, false));
}

// A good container: identity, map (64 bytes, blocks 16 and 17), both blocks.
struct TGoodEfw {
    std::string Map = MapWith(64, {16, 17});
    std::map<int, std::string> Blocks{{16, Page(16)}, {17, Page(17)}};
    std::string Unpadded(int HardwareId = 0x0E47) const
    {
        std::string r =
            Identity(21, 2, 3, 0x0102, 0x0304) + MapRecord(Map, RefChecksum(Map, Blocks), HardwareId);
        for (const auto& [n, data] : Blocks)
            r += Record(static_cast<uint32_t>(n) << 8, data.substr(0, 200)) +
                 Record((static_cast<uint32_t>(n) << 8) + 200, data.substr(200));
        return r;
    }
    std::string Records(int HardwareId = 0x0E47) const { return Padded(Unpadded(HardwareId), 17u << 8); }
};

} // namespace

TEST(LoadFromEfw, ReadsIdentityMapAndBlocks)
{
    const TGoodEfw good;
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromEfw(Seal(good.Records(), "CX21 3.20")), 1);
    const TSoftwareVersion& v = Only(c);
    EXPECT_EQ(v.Info.Title, "CX21 3.20");
    EXPECT_TRUE(v.Wide);
    EXPECT_EQ(v.Info.Class, 21);
    EXPECT_EQ(v.Info.Hardware, 2);
    EXPECT_EQ(v.Info.HardwareRev, std::bitset<256>().set(3));
    EXPECT_EQ(v.Info.Type, 0x0102);
    EXPECT_EQ(v.Info.Version, 0x0304);
    EXPECT_EQ(v.Info.HardwareID, 0x0E47);
    EXPECT_EQ(v.Blocks, good.Map);
    EXPECT_EQ(v.CRC, RefChecksum(good.Map, good.Blocks));
    EXPECT_EQ(v.BlockNumbers, (std::vector<std::string>{"16", "17"}));
    EXPECT_EQ(BlockOf(v, 17), Page(17));

    TSoftwareVersionCollection noId;
    ASSERT_EQ(noId.LoadFromEfw(Seal(good.Records(-1))), 1);
    EXPECT_EQ(Only(noId).Info.HardwareID, 0);
}

TEST(LoadFromEfw, LongMapOfCodeEight)
{
    const std::string map = MapWith(128, {1000});
    const std::string records = Padded(
        Identity(1, 1, 1, 0, 1) + MapRecord(map, RefChecksum(map, {{1000, Page(7)}})) +
            Record(1000u << 8, Page(7).substr(0, 128)) + Record((1000u << 8) + 128, Page(7).substr(128)),
        1000u << 8);
    TSoftwareVersionCollection c;
    EXPECT_EQ(c.LoadFromEfw(Seal(records, "long", 4)), 0); // a 64-byte map reads other bytes as the CRC
    ASSERT_EQ(c.LoadFromEfw(Seal(records, "long", 8)), 1);
    EXPECT_EQ(Only(c).Blocks.size(), 128u);
    EXPECT_EQ(BlockOf(Only(c), 1000), Page(7));
}

TEST(LoadFromEfw, BlockTouchedAgainStartsAFreshPage)
{
    const std::string map = MapWith(64, {0x12, 0x13});
    std::string second(256, '\xFF');
    second.replace(0x40, 4, "\x01\x02\x03\x04");
    const std::map<int, std::string> expected{{0x12, second}, {0x13, Page(0x13)}};
    const std::string records =
        Padded(Identity(1, 1, 1, 0, 1) + MapRecord(map, RefChecksum(map, expected)) +
                   Record(0x1200, Page(0x12).substr(0, 100)) + Record(0x1300, Page(0x13).substr(0, 128)) +
                   Record(0x1380, Page(0x13).substr(128)) + Record(0x1240, "\x01\x02\x03\x04"),
               0x1240);
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromEfw(Seal(records)), 1);
    EXPECT_EQ(BlockOf(Only(c), 0x12), second);
    EXPECT_EQ(Only(c).BlockNumbers, (std::vector<std::string>{"18", "19"}));
}

TEST(LoadFromEfw, RecordWrapsInsideItsPage)
{
    const std::string map = MapWith(64, {0x12});
    std::string page(256, '\xFF');
    const std::string data = "ABCDEFGHIJ";
    page.replace(0xFA, 6, data.substr(0, 6));
    page.replace(0x00, 4, data.substr(6));
    const std::string records = Padded(
        Identity(1, 1, 1, 0, 1) + MapRecord(map, RefChecksum(map, {{0x12, page}})) + Record(0x12FA, data),
        0x1200);
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromEfw(Seal(records)), 1);
    EXPECT_EQ(BlockOf(Only(c), 0x12), page);
    EXPECT_EQ(Only(c).BlockNumbers.size(), 1u);
}

TEST(LoadFromEfw, IdentityRevisionBitmapAndErasedVersion)
{
    const TGoodEfw good;
    const std::string rest = good.Records().substr(28);
    TSoftwareVersionCollection c;
    // All bits clear: revisions 1..128, plus the one of byte 2.
    ASSERT_EQ(c.LoadFromEfw(Seal(Identity(21, 2, 200, 0, 0xFFFF, '\0') + rest)), 1);
    std::bitset<256> all;
    for (int r = 1; r <= 128; ++r)
        all.set(static_cast<size_t>(r));
    EXPECT_EQ(c.GetVersion(0)->Info.HardwareRev, std::bitset<256>(all).set(200));
    EXPECT_EQ(c.GetVersion(0)->Info.Version, 0);

    // Single clear bits: revision r is bit r mod 8 of byte 7 + r div 8.
    std::string id = Identity(21, 2, 50, 0, 5);
    id[4 + 7] = static_cast<char>(0xFF & ~0x01 & ~0x02); // bit 0 is unused, bit 1 is revision 1
    id[4 + 7 + 16] = static_cast<char>(0xFF & ~0x01);    // revision 128
    id[4 + 7 + 4] = static_cast<char>(0xFF & ~0x80);     // revision 39
    ASSERT_EQ(c.LoadFromEfw(Seal(id + rest)), 1);
    EXPECT_EQ(c.GetVersion(0)->Info.HardwareRev, std::bitset<256>().set(50).set(1).set(39).set(128));
    EXPECT_EQ(c.GetVersion(0)->Info.Version, 5);
}

TEST(LoadFromEfw, OverlongRecordEndsTheReading)
{
    const std::string map = MapWith(64, {0x20});
    std::string page = Page(0x20);
    page.replace(128, 128, std::string(128, '\xFF'));
    // The last record claims 200 bytes where only 20 follow: its bytes are not taken.
    const std::string records = Identity(1, 1, 1, 0, 1) + MapRecord(map, RefChecksum(map, {{0x20, page}})) +
                                Record(0x2000, Page(0x20).substr(0, 128));
    std::string overlong = Record(0x2080, std::string(20, 'x'));
    overlong[3] = static_cast<char>(200);
    std::string all = records + overlong;
    all.resize((all.size() + 15) / 16 * 16, 'x');
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromEfw(Seal(all)), 1);
    EXPECT_EQ(BlockOf(Only(c), 0x20), page);
}

TEST(LoadFromEfw, ShortRestIsIgnored)
{
    const TGoodEfw good;
    std::string records = good.Unpadded();
    while (records.size() % 16 != 12)
        records += Record(17u << 8, "");
    // Read as a record, this rest of 4 would start a fresh (erased) page for block 16.
    records += std::string("\x00\x10\x00\x00", 4);
    ASSERT_EQ(records.size() % 16, 0u);
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromEfw(Seal(records)), 1);
    EXPECT_EQ(Only(c).BlockNumbers.size(), 2u);
}

TEST(LoadFromEfw, DamageIsRejected)
{
    const TGoodEfw good;
    const std::string sealed = Seal(good.Records(), "Title");
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromEfw(sealed), 1);

    std::vector<std::pair<std::string, std::string>> bad;
    bad.emplace_back("magic", "QVD_FW_v02" + sealed.substr(10));
    bad.emplace_back("code 5", sealed.substr(0, 10) + '\x05' + sealed.substr(11));
    bad.emplace_back("code 0", sealed.substr(0, 10) + '\x00' + sealed.substr(11));
    bad.emplace_back("byte 11", sealed.substr(0, 11) + '\x01' + sealed.substr(12));
    bad.emplace_back("wrong key", Seal(good.Records(), "Title", 4, std::string(16, '\x5A')));
    bad.emplace_back("cut cipher", sealed.substr(0, sealed.size() - 3));
    bad.emplace_back("cut block", sealed.substr(0, sealed.size() - 16));
    std::string flipped = sealed;
    flipped[flipped.size() - 40] ^= 0x01;
    bad.emplace_back("flipped", flipped);
    bad.emplace_back("no title end", EfwContainer("Title", 4, "", "").substr(0, 17) + sealed.substr(18));
    bad.emplace_back("after iv", sealed.substr(0, 12 + 5 + 1 + 16));
    bad.emplace_back("short iv", sealed.substr(0, 12 + 5 + 1 + 9));
    for (const std::string& tiny :
         {std::string(), std::string("QVD"), std::string("QVD_FW_v01"), std::string("QVD_FW_v01\x04", 11),
          std::string("QVD_FW_v01\x04\x00", 12), std::string("QVD_FW_v01\x04\x00\x00", 13)})
        bad.emplace_back("tiny " + std::to_string(tiny.size()), tiny);

    std::string noMap = Identity(1, 1, 1, 0, 1) + Record(0x1000, Page(1).substr(0, 128));
    bad.emplace_back("no map", Seal(Padded(noMap, 0x1000)));
    bad.emplace_back(
        "no block",
        Seal(Padded(Identity(1, 1, 1, 0, 1) + MapRecord(good.Map, RefChecksum(good.Map, {})), 0xFFFD00)));
    std::string wrongCrc =
        Identity(1, 1, 1, 0, 1) + MapRecord(good.Map, RefChecksum(good.Map, good.Blocks) ^ 1);
    for (const auto& [n, data] : good.Blocks)
        wrongCrc += Record(static_cast<uint32_t>(n) << 8, data.substr(0, 128)) +
                    Record((static_cast<uint32_t>(n) << 8) + 128, data.substr(128));
    bad.emplace_back("crc", Seal(Padded(wrongCrc, 17u << 8)));

    for (const auto& [what, data] : bad) {
        TSoftwareVersionCollection r;
        EXPECT_EQ(r.LoadFromEfw(data), 0) << what;
        EXPECT_EQ(r.Count(), 0) << what;
    }
}

// ---------------------------------------------------------------------------
// "QVD_CFW_v01" and archives

namespace
{

std::string IniVersion(const std::string& Title, int Version)
{
    return Section(Title,
                   "Version=" + std::to_string(Version) + "\nBlocks=0000FF\n16=" + Hex(Page(Version)) + "\n");
}

std::string GoodEfw(const std::string& Title)
{
    return Seal(TGoodEfw().Records(), Title);
}

std::vector<std::string> Titles(const TSoftwareVersionCollection& C)
{
    std::vector<std::string> t;
    for (const TSoftwareVersion* v = C.First(); v != nullptr; v = v->Next)
        t.push_back(v->Info.Title);
    return t;
}

} // namespace

TEST(LoadFromArchive, ItemsAreReadByLowerCasedExtension)
{
    const std::string archive = BuildSevenZip({{"a.INI", IniVersion("upper", 1) + IniVersion("second", 2)},
                                               {"b.txt", IniVersion("text", 3)},
                                               {"c.bin", IniVersion("image", 4)},
                                               {"d.efw", GoodEfw("efw")},
                                               {"noext", IniVersion("none", 5)},
                                               {"e.ini.txt", IniVersion("double ext", 6)}});
    TSoftwareVersionCollection c;
    std::vector<std::pair<int, int>> calls;
    c.OnProgress = [&](TSoftwareVersionCollection*, int32_t Position, int32_t Count) {
        if (Count == 6)
            calls.emplace_back(Position, Count);
    };
    EXPECT_EQ(c.LoadFromArchive(archive), 3);
    EXPECT_EQ(Titles(c), (std::vector<std::string>{"efw", "second", "upper"}));
    EXPECT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls.back(), std::make_pair(6, 6));
}

TEST(LoadFromArchive, FoldersAreSkippedAndPathsUseTheLastComponent)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("softupdate-test-" + std::to_string(::getpid()));
    fs::create_directories(dir / "sub.ini");
    std::ofstream(dir / "sub.ini" / "inner.efw", std::ios::binary) << GoodEfw("in folder");
    const std::string cmd =
        "cd '" + dir.string() + "' && 7z a -bd -y -bso0 -bsp0 out.7z sub.ini >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(dir / "out.7z", std::ios::binary);
    const std::string archive((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove_all(dir);

    // The folder "sub.ini" is an item of its own: no progress step, nothing read.
    TSoftwareVersionCollection c;
    std::vector<std::pair<int, int>> calls;
    c.OnProgress = [&](TSoftwareVersionCollection*, int32_t Position, int32_t Count) {
        calls.emplace_back(Position, Count);
    };
    EXPECT_EQ(c.LoadFromArchive(archive), 1);
    EXPECT_EQ(Titles(c), std::vector<std::string>{"in folder"});
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].second, 2);
}

TEST(LoadFromArchive, DamagedArchivesAddNothing)
{
    const std::string archive = BuildSevenZip({{"a.ini", IniVersion("one", 1)}, {"b.efw", GoodEfw("two")}});
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromArchive(archive), 2);
    for (const std::string& bad : {std::string(), std::string("7z\xBC\xAF\x27\x1C", 6), archive.substr(0, 40),
                                   archive.substr(0, archive.size() - 10), std::string(4096, '\xA5')}) {
        TSoftwareVersionCollection r;
        EXPECT_EQ(r.LoadFromArchive(bad), 0);
    }
    // Damaged packed data: the item that fails its check is skipped, earlier ones may load.
    std::string body = archive;
    body[body.size() / 2] ^= 0x55;
    TSoftwareVersionCollection r;
    EXPECT_LT(r.LoadFromArchive(body), 2);
}

TEST(LoadFromCfw, ReadsTheArchiveInside)
{
    const std::string archive =
        BuildSevenZip({{"x.ini", IniVersion("ini in cfw", 1)}, {"y.efw", GoodEfw("efw in cfw")}});
    const std::string cfw = WriteCfw(archive, CfwKey());
    TSoftwareVersionCollection c;
    EXPECT_EQ(c.LoadFromCfw(cfw), 2);
    EXPECT_EQ(c.LoadFromData(cfw, ".CFW"), 2);
    EXPECT_EQ(Titles(c), (std::vector<std::string>{"efw in cfw", "ini in cfw", "efw in cfw", "ini in cfw"}));
}

TEST(LoadFromCfw, DamageIsRejected)
{
    const std::string archive = BuildSevenZip({{"x.ini", IniVersion("one", 1)}});
    const std::string cfw = WriteCfw(archive, CfwKey());
    const std::string iv = cfw.substr(11, 16);
    std::vector<std::pair<std::string, std::string>> bad;
    bad.emplace_back("magic", "QVD_CFW_v02" + cfw.substr(11));
    bad.emplace_back("wrong key", WriteCfw(archive, std::string(16, '\x33')));
    bad.emplace_back("efw key", WriteCfw(archive, EfwKey()));
    bad.emplace_back("cut", cfw.substr(0, cfw.size() - 1));
    bad.emplace_back("no block", cfw.substr(0, cfw.size() - 16));
    std::string flipped = cfw;
    flipped[100] ^= 0x10;
    bad.emplace_back("flipped", flipped);
    bad.emplace_back("short", "QVD_CFW_v01" + iv + AesCbcEncrypt(CfwKey(), iv, archive.substr(0, 96), false));
    // A last plaintext byte above 16 is no count-byte padding.
    std::string plain = archive;
    plain.resize((plain.size() + 15) / 16 * 16 + 16, '\x20');
    bad.emplace_back("padding", "QVD_CFW_v01" + iv + AesCbcEncrypt(CfwKey(), iv, plain, false));
    bad.emplace_back("empty", "");
    bad.emplace_back("magic only", "QVD_CFW_v01");
    for (const auto& [what, data] : bad) {
        TSoftwareVersionCollection r;
        EXPECT_EQ(r.LoadFromCfw(data), 0) << what;
    }
}

TEST(LoadFromArchive, NestingIsBounded)
{
    // Level k holds one INI version and the .cfw of level k + 1.
    std::string inner;
    for (int level = 10; level >= 1; --level) {
        std::vector<TArchiveItem> items{{"v.ini", IniVersion("level " + std::to_string(level), level)}};
        if (!inner.empty())
            items.push_back({"next.cfw", WriteCfw(inner, CfwKey())});
        inner = BuildSevenZip(items);
    }
    TSoftwareVersionCollection c;
    EXPECT_EQ(c.LoadFromArchive(inner), 8);
    EXPECT_EQ(c.GetVersion(0)->Info.Title, "level 8");
}

TEST(LoadFromData, DispatchesByExtension)
{
    const std::string ini = IniVersion("x", 1);
    TSoftwareVersionCollection c;
    EXPECT_EQ(c.LoadFromData(ini, ".ini"), 1);
    EXPECT_EQ(c.LoadFromData(ini, ".Ini"), 1);
    EXPECT_EQ(c.LoadFromData(ini, ".txt"), 0);
    EXPECT_EQ(c.LoadFromData(ini, ""), 0);
    EXPECT_EQ(c.LoadFromData(ini, ".efw"), 0);
    EXPECT_EQ(c.LoadFromData(GoodEfw("e"), ".EFW"), 1);
    EXPECT_EQ(c.LoadFromData(GoodEfw("e"), ".bin"), 0);
    EXPECT_EQ(c.Count(), 3);
}
