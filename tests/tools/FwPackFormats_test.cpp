// fwpack's writers against the tool's readers: what fwpack writes, the
// collection reads back with the same identity, map, blocks and CRC.
#include "firmware/ArchiveReader.h"
#include "firmware/Keys.h"
#include "firmware/MyCrypt.h"
#include "firmware/SoftUpdate.h"
#include "tools/fwpack/FwPack.h"
#include "util/DeflateText.h"

#include <gtest/gtest.h>

namespace
{

TPackVersion MakeVersion(const std::string& Title, bool Wide, size_t BodySize, size_t MapLength,
                         bool DoubleMap = false, uint64_t Seed = 7)
{
    TPackVersion v;
    v.Title = Title;
    v.Type = 0x0102;
    v.Version = 0x0304;
    v.Class = 21;
    v.Hardware = 3;
    v.HardwareID = 0x0E47;
    v.HardwareRev.set(3);
    v.Wide = Wide;
    CutBlocks(v, GeneratePayload(BodySize, Seed), DoubleMap ? 32 : 16, MapLength, DoubleMap);
    return v;
}

// The collection's copy must equal what fwpack meant to write.
void ExpectSame(const TPackVersion& P, const TSoftwareVersion& V)
{
    EXPECT_EQ(V.Info.Title, P.Title);
    EXPECT_EQ(V.Info.Type, P.Type);
    EXPECT_EQ(V.Info.Version, P.Version);
    EXPECT_EQ(V.Info.Class, P.Class);
    EXPECT_EQ(V.Info.Hardware, P.Hardware);
    EXPECT_EQ(V.Info.HardwareRev, P.HardwareRev);
    EXPECT_EQ(V.Info.HardwareID, P.HardwareID);
    EXPECT_EQ(V.Wide, P.Wide);
    EXPECT_EQ(V.Blocks, P.Map);
    EXPECT_EQ(V.CRC, P.Checksum());
    EXPECT_EQ(TSoftwareVersionCollection::CalcChecksum(V), P.Checksum());
    ASSERT_EQ(V.BlockNumbers.size(), P.Blocks.size());
    for (size_t i = 0; i < P.Blocks.size(); ++i) {
        EXPECT_EQ(V.BlockNumbers[i], std::to_string(P.Blocks[i].first));
        EXPECT_EQ(V.BlockData[i], P.Blocks[i].second) << "block " << P.Blocks[i].first;
    }
}

} // namespace

TEST(FwPackRoundTrip, IniNarrowWideAndDoubleMap)
{
    const TPackVersion narrow = MakeVersion("narrow", false, 20000, 32);
    const TPackVersion wide = MakeVersion("wide", true, 200000, 128);
    const TPackVersion twice = MakeVersion("double", true, 250000, 64, true);
    TPackVersion anyRev = MakeVersion("no revisions, no crc", false, 300, 32);
    anyRev.HardwareRev.reset();
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromIniText(WriteIniSection(narrow, "a") + WriteIniSection(wide, "b") +
                                WriteIniSection(twice, "c") + WriteIniSection(anyRev, "d", false)),
              4);
    ExpectSame(anyRev, *c.GetVersion(0));
    ExpectSame(twice, *c.GetVersion(1));
    ExpectSame(wide, *c.GetVersion(2));
    ExpectSame(narrow, *c.GetVersion(3));
    EXPECT_TRUE(IsDoubleMap(c.GetVersion(1)->Blocks));
}

TEST(FwPackRoundTrip, EfwMapsRevisionSetsAndHardwareId)
{
    struct TCase {
        std::string Title;
        size_t Map;
        bool Double;
        std::vector<int> Revisions;
        int32_t HardwareID;
    };
    const std::vector<TCase> cases = {{"64 plain", 64, false, {3}, 0x0E47},
                                      {"128 plain", 128, false, {0, 1, 2, 3}, 0},
                                      {"64 double", 64, true, {200, 5, 128}, 1},
                                      {"128 double", 128, true, {1, 64, 127, 128}, 0xFFFF}};
    for (const TCase& k : cases) {
        TPackVersion p = MakeVersion(k.Title, true, k.Double ? 250000 : 120000, k.Map, k.Double);
        p.HardwareRev.reset();
        for (int r : k.Revisions)
            p.HardwareRev.set(static_cast<size_t>(r));
        p.HardwareID = k.HardwareID;
        const std::string efw = WriteEfw(p, EfwKey());
        EXPECT_EQ(efw.substr(0, 10), "QVD_FW_v01");
        EXPECT_EQ(static_cast<uint8_t>(efw[10]), k.Map / 16);
        TSoftwareVersionCollection c;
        ASSERT_EQ(c.LoadFromEfw(efw), 1) << k.Title;
        ExpectSame(p, *c.GetVersion(0));
        // Another key deciphers noise, which the checksum rejects.
        TSoftwareVersionCollection wrong;
        EXPECT_EQ(wrong.LoadFromEfw(WriteEfw(p, CfwKey())), 0) << k.Title;
    }
}

TEST(FwPackRoundTrip, CfwHoldsAnArchiveOfPackages)
{
    const TPackVersion a = MakeVersion("in ini", false, 5000, 32, false, 1);
    const TPackVersion b = MakeVersion("in efw", true, 9000, 64, false, 2);
    const std::string archive = BuildSevenZip(
        {{"a.ini", WriteIniSection(a, "a")}, {"b.efw", WriteEfw(b, EfwKey())}, {"c.bin", "image"}});
    const std::string cfw = WriteCfw(archive, CfwKey());
    EXPECT_EQ(cfw.substr(0, 11), "QVD_CFW_v01");
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromCfw(cfw), 2);
    ExpectSame(b, *c.GetVersion(0));
    ExpectSame(a, *c.GetVersion(1));

    TSoftwareVersionCollection wrong;
    EXPECT_EQ(wrong.LoadFromCfw(WriteCfw(archive, ImageKey())), 0);
    EXPECT_THROW(WriteCfw("tiny", CfwKey()), EPackError);
}

TEST(FwPackRoundTrip, FirmwareImageSplitsIntoLabelAndArchive)
{
    const std::string archive = BuildSevenZip({{"x.bin", GeneratePayload(5000, 3)}});
    const std::string image = WriteFirmwareImage("Demo package 2026-12", archive, ImageKey());
    ASSERT_EQ((image.size() - 16) % 16, 0u);
    const TFirmwareImage split = SplitFirmwareImage(image, ImageKey());
    EXPECT_EQ(split.Label, "Demo package 2026-12");
    EXPECT_EQ(split.Archive, archive);
    EXPECT_TRUE(SplitFirmwareImage(image, CfwKey()).Archive.substr(0, 6) != archive.substr(0, 6));
    EXPECT_THROW(WriteFirmwareImage("a|b", archive, ImageKey()), EPackError);
}

TEST(FwPackRoundTrip, CountBytePaddingMatchesTheToolsRemoval)
{
    const std::string key = CfwKey();
    const std::string iv(16, '\x11');
    for (size_t n : {0u, 1u, 15u, 16u, 17u, 100u}) {
        const std::string plain(n, 'p');
        const std::string cipher = AesCbcEncrypt(key, iv, plain, true);
        EXPECT_EQ(cipher.size(), (n / 16 + 1) * 16);
        // n = 0 pads to one block of 0x10; the tool keeps nothing either way.
        EXPECT_EQ(AesDecrypt(key, 0, cipher, 0, iv, 2), plain) << n;
    }
    EXPECT_EQ(AesDecrypt(key, 0, AesCbcEncrypt(key, iv, std::string(32, 'u'), false), 0, iv, 0),
              std::string(32, 'u'));
    EXPECT_THROW(AesCbcEncrypt(key, iv, "not a block", false), EPackError);
    EXPECT_THROW(AesCbcEncrypt("short", iv, "x", true), EPackError);
}

TEST(FwPackWriters, EfwRefusesWhatItCannotHold)
{
    const TPackVersion good = MakeVersion("good", true, 3000, 64);
    ASSERT_NO_THROW(WriteEfw(good, EfwKey()));
    auto refuses = [&](const char* What, auto Change) {
        TPackVersion v = good;
        Change(v);
        EXPECT_THROW(WriteEfw(v, EfwKey()), EPackError) << What;
    };
    refuses("narrow", [](TPackVersion& v) { v.Wide = false; });
    refuses("map 32", [](TPackVersion& v) { v.Map.resize(32); });
    refuses("map 96", [](TPackVersion& v) { v.Map.resize(96); });
    refuses("hardware", [](TPackVersion& v) { v.Hardware = 256; });
    refuses("version", [](TPackVersion& v) { v.Version = 0xFFFF; });
    refuses("hardware id", [](TPackVersion& v) { v.HardwareID = 0x10000; });
    refuses("no revisions", [](TPackVersion& v) { v.HardwareRev.reset(); });
    refuses("two high", [](TPackVersion& v) { v.HardwareRev.set(200).set(201); });
    refuses("zero in title", [](TPackVersion& v) { v.Title = std::string("a\0b", 3); });
}

TEST(FwPackWriters, CutBlocksChecksTheRange)
{
    TPackVersion v;
    EXPECT_THROW(CutBlocks(v, "", 16, 32, false), EPackError);
    EXPECT_THROW(CutBlocks(v, "x", 15, 32, false), EPackError);
    EXPECT_THROW(CutBlocks(v, "x", 16, 32, true), EPackError);
    EXPECT_THROW(CutBlocks(v, "x", 33, 64, true), EPackError);
    EXPECT_THROW(CutBlocks(v, std::string(241 * 256, 'x'), 16, 32, false), EPackError);
    ASSERT_NO_THROW(CutBlocks(v, std::string(240 * 256, 'x'), 16, 32, false));
    EXPECT_EQ(v.Blocks.back().first, 255);
    EXPECT_EQ(v.Map, std::string(2, '\0') + std::string(30, '\xFF'));
    v.Wide = true;
    EXPECT_THROW(CutBlocks(v, std::string(1000 * 256, 'x'), 32, 64, true), EPackError);
    ASSERT_NO_THROW(CutBlocks(v, std::string(991 * 256 + 1, 'x'), 32, 64, true));
    EXPECT_EQ(v.Blocks.back().second, std::string(1, 'x') + std::string(255, '\xFF'));
    EXPECT_EQ(v.Map.substr(0, 3), std::string("\x07\xE3\xFF", 3));
}

TEST(FwPackWriters, ReceiverImageHeader)
{
    const std::string image = StampMtkHeader(GeneratePayload(5000, 1), "AXN_1,2,MC-GG,1.0");
    ASSERT_EQ(image.size(), 5000u);
    EXPECT_EQ(image.substr(144, 6), "MTKGPS");
    EXPECT_EQ(image.substr(328, 3), "AXN");
    EXPECT_EQ(image.substr(244, 4), std::string("\x88\x13\x00\x00", 4));
    EXPECT_EQ(image.substr(16, 17), "AXN_1,2,MC-GG,1.0");
    EXPECT_EQ(image.substr(448), GeneratePayload(5000, 1).substr(448));
    EXPECT_THROW(StampMtkHeader(std::string(447, 'x'), "AXN"), EPackError);
}

TEST(FwPackWriters, PayloadsAreReproducibleAndMixRawAndDeflatableChunks)
{
    const std::string a = GeneratePayload(64 * 2048 + 5, 42);
    EXPECT_EQ(a.size(), 64u * 2048 + 5);
    EXPECT_EQ(a, GeneratePayload(64 * 2048 + 5, 42));
    EXPECT_NE(a, GeneratePayload(64 * 2048 + 5, 43));
    EXPECT_EQ(GeneratePayload(100, 42), a.substr(0, 100));
    int raw = 0;
    int deflated = 0;
    for (size_t off = 0; off + 2048 <= a.size(); off += 2048) {
        const std::string chunk = a.substr(off, 2048);
        (DeflateText(chunk, true).size() < chunk.size() ? deflated : raw) += 1;
    }
    EXPECT_GE(raw, 5);
    EXPECT_GE(deflated, 5);
    // Even a short payload (a small image's first chunks) holds both kinds.
    const std::string small = GeneratePayload(3 * 2048, 9);
    EXPECT_GT(DeflateText(small.substr(2048, 2048), true).size(), 2048u);
    EXPECT_LT(DeflateText(small.substr(4096, 2048), true).size(), 2048u);
}

TEST(FwPackWriters, ArchivesKeepOrderAndAreReproducible)
{
    const std::vector<TArchiveItem> items = {{"z last but first.bin", "1"},
                                             {"AXN_3.8,x,MC-GG,1.0.bin", GeneratePayload(3000, 1)},
                                             {"a.INI", "[s]\n"},
                                             {"EVA 1.0+F.bin", "4"}};
    const std::string archive = BuildSevenZip(items);
    EXPECT_EQ(archive, BuildSevenZip(items));
    std::string buffer = archive;
    auto reader = NewArchiveReader();
    TArchiveStream stream(buffer);
    reader->OpenArchiveStream(stream);
    ASSERT_EQ(reader->ItemCount(), items.size());
    for (uint32_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(reader->ItemPathOf(i), items[i].Name);
        std::string data;
        reader->ExtractItemToStream(i, data, false);
        EXPECT_EQ(data, items[i].Data);
    }
    reader->CloseArchive();

    for (const char* bad : {"", "sub/x.ini", "-x", "@list", "a*.ini", "..", "tab\there"})
        EXPECT_THROW(BuildSevenZip({{bad, "x"}}), EPackError) << bad;
    EXPECT_THROW(BuildSevenZip({{"same", "1"}, {"same", "2"}}), EPackError);
    EXPECT_THROW(BuildSevenZip({}), EPackError);
    EXPECT_THROW(BuildSevenZip({{"x", "1"}}, "/nonexistent/7z"), EPackError);
}

TEST(FwPackKeys, ParseKeys)
{
    const TPackKeys k =
        ParseKeys("# comment\n\nimage = 000102030405060708090A0B0C0D0E0F\r\n"
                  "cfw=ffeeddccbbaa99887766554433221100\nefw=00000000000000000000000000000001\n");
    EXPECT_EQ(k.Image, std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F", 16));
    EXPECT_EQ(static_cast<uint8_t>(k.Cfw[0]), 0xFF);
    EXPECT_EQ(k.Efw.size(), 16u);
    const std::string good = "cfw=ffeeddccbbaa99887766554433221100\nefw=00000000000000000000000000000001\n";
    EXPECT_THROW(ParseKeys(good), EPackError);
    EXPECT_THROW(ParseKeys(good + "image=0001\n"), EPackError);
    EXPECT_THROW(ParseKeys(good + "image=000102030405060708090A0B0C0D0E0G\n"), EPackError);
    EXPECT_THROW(ParseKeys(good + "image 000102030405060708090A0B0C0D0E0F\n"), EPackError);
    EXPECT_THROW(ParseKeys(good + "image=000102030405060708090A0B0C0D0E0F\nextra=00\n"), EPackError);
    EXPECT_THROW(ReadKeysFile("/nonexistent/keys.txt"), EPackError);
}
