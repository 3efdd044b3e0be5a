// Manifests, the fwpack program, and the demo firmware set the build embeds.
#include "firmware/ArchiveReader.h"
#include "firmware/IniFile.h"
#include "firmware/Keys.h"
#include "firmware/MyCrypt.h"
#include "firmware/SoftUpdate.h"
#include "tools/fwpack/FwPack.h"
#include "util/MyConvert.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace
{

class TScratch
{
  public:
    TScratch()
    {
        std::string pattern = (fs::temp_directory_path() / "fwpack-test.XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            FPath = pattern;
    }
    ~TScratch()
    {
        std::error_code ec;
        fs::remove_all(FPath, ec);
    }
    fs::path operator/(const std::string& Name) const { return FPath / Name; }
    const fs::path& Path() const { return FPath; }

  private:
    fs::path FPath;
};

TPackKeys Keys()
{
    return TPackKeys{ImageKey(), CfwKey(), EfwKey()};
}

std::vector<std::string> ItemNames(const std::string& Archive)
{
    std::string buffer = Archive;
    auto reader = NewArchiveReader();
    TArchiveStream stream(buffer);
    reader->OpenArchiveStream(stream);
    std::vector<std::string> names;
    for (uint32_t i = 0; i < reader->ItemCount(); ++i)
        names.push_back(reader->ItemPathOf(i));
    reader->CloseArchive();
    return names;
}

const TSoftwareVersion* ByTitle(const TSoftwareVersionCollection& C, const std::string& Title)
{
    const int i = C.IndexOfTitle(Title);
    return i < 0 ? nullptr : C.GetVersion(i);
}

struct TRun {
    int Status = -1;
    std::string Output;
};

TRun RunFwpack(const std::string& Args)
{
    TRun r;
    const std::string cmd = std::string(VELTRAC_TEST_FWPACK) + " " + Args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.Output.append(buf, n);
    const int status = pclose(p);
    r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

const char* const kSmallManifest = R"(; test manifest
[package]
label = Test label
seed = 5

[image second-listed]
version = AXN_2,9,MC-X,1.0
size = 3000

[unit ini-a]
package = units.ini
class = 7
version = 3
hardware_rev = 1, 2
size = 1000

[image first-listed]
version = EVA_1+F
size = 500
header = none

[unit efw-b]
package = b.efw
title = B title
class = 8
hardware = 9
hardware_rev = 4
hardware_id = 0x0102
version = 0x0105
size = 5000

[unit ini-c]
package = units.ini
class = 7
version = 4
address_width = 16
double_map = yes
crc = no
size = 70000

[unit in-cfw]
package = bundle.cfw
inner = inner.efw
class = 9
hardware_rev = 200
map_bytes = 128
size = 2000

[unit in-cfw-ini]
package = bundle.cfw
inner = inner.ini
class = 9
version = 2
size = 100

[module controller]
version = 200
hardware_rev = 1
size = 8192
)";

} // namespace

TEST(FwPackManifest, BuildsItemsInManifestOrder)
{
    const TPackResult r = BuildFromManifest(kSmallManifest, ".", Keys());
    std::vector<std::string> names;
    for (const TArchiveItem& item : r.Items)
        names.push_back(item.Name);
    const std::vector<std::string> expected = {"AXN_2,9,MC-X,1.0.bin", "units.ini", "EVA_1+F.bin", "b.efw",
                                               "bundle.cfw"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(ItemNames(r.Archive), expected);
    EXPECT_EQ(r.Label, "Test label");
    const TFirmwareImage image = SplitFirmwareImage(r.GpsFw, ImageKey());
    EXPECT_EQ(image.Label, "Test label");
    EXPECT_EQ(image.Archive, r.Archive);

    EXPECT_EQ(r.Items[0].Data.size(), 3000u);
    EXPECT_EQ(r.Items[0].Data.substr(144, 6), "MTKGPS");
    EXPECT_EQ(r.Items[2].Data.size(), 500u);
    EXPECT_EQ(r.Items[2].Data.find("MTKGPS"), std::string::npos);

    TSoftwareVersionCollection c;
    EXPECT_EQ(c.LoadFromArchive(r.Archive), 5);
    const TSoftwareVersion* a = ByTitle(c, "ini-a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Info.Class, 7);
    EXPECT_EQ(a->Info.HardwareRev, std::bitset<256>().set(1).set(2));
    EXPECT_FALSE(a->Wide);
    const TSoftwareVersion* b = ByTitle(c, "B title");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->Info.Version, 0x105);
    EXPECT_EQ(b->Info.HardwareID, 0x0102);
    EXPECT_EQ(b->Info.Hardware, 9);
    EXPECT_EQ(b->BlockNumbers.size(), 20u);
    const TSoftwareVersion* cc = ByTitle(c, "ini-c");
    ASSERT_NE(cc, nullptr);
    EXPECT_TRUE(cc->Wide);
    EXPECT_TRUE(IsDoubleMap(cc->Blocks));
    EXPECT_EQ(cc->BlockNumbers.front(), "32");
    const TSoftwareVersion* inner = ByTitle(c, "in-cfw");
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->Blocks.size(), 128u);
    EXPECT_EQ(inner->Info.HardwareRev, std::bitset<256>().set(200));
    ASSERT_NE(ByTitle(c, "in-cfw-ini"), nullptr);

    TSoftwareVersionCollection module;
    ASSERT_EQ(module.LoadFromEfw(r.EgpsFw), 1);
    EXPECT_EQ(module.GetVersion(0)->Info.Title, "controller");
    EXPECT_EQ(module.GetVersion(0)->Info.Version, 200);

    const TMemIniFile expectedIni(r.Expected);
    EXPECT_EQ(expectedIni.ReadInteger("package", "items", 0), 5);
    EXPECT_EQ(expectedIni.ReadString("package", "item2", ""), "units.ini");
    EXPECT_EQ(expectedIni.ReadString("image2", "module_type", ""), "");
    EXPECT_EQ(expectedIni.ReadString("image1", "module_type", ""), "MC-X");
    EXPECT_EQ(expectedIni.ReadString("unit2", "title", ""), "B title");
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X", b->CRC);
    EXPECT_EQ(expectedIni.ReadString("unit2", "crc", ""), crc);
    EXPECT_EQ(expectedIni.ReadString("module", "version", ""), "200");

    // The same manifest and keys give the same bytes.
    const TPackResult again = BuildFromManifest(kSmallManifest, ".", Keys());
    EXPECT_EQ(again.GpsFw, r.GpsFw);
    EXPECT_EQ(again.EgpsFw, r.EgpsFw);
}

TEST(FwPackManifest, PayloadFilesAreTakenAsTheyAre)
{
    TScratch dir;
    const std::string image = "not a MediaTek image, taken as it is";
    const std::string body = GeneratePayload(700, 77);
    WriteFileBytes((dir / "real.bin").string(), image);
    WriteFileBytes((dir / "body.raw").string(), body);
    const TPackResult r =
        BuildFromManifest("[package]\nlabel=L\n[image x]\nversion=AXN_1,2,MC-Y,1\nfile=real.bin\n"
                          "[unit u]\npackage=u.ini\nfile=body.raw\n",
                          dir.Path().string(), Keys());
    ASSERT_EQ(r.Items.size(), 2u);
    EXPECT_EQ(r.Items[0].Data, image);
    EXPECT_TRUE(r.EgpsFw.empty());
    EXPECT_EQ(r.Inputs, (std::vector<std::string>{(dir / "real.bin").string(), (dir / "body.raw").string()}));
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromIniText(r.Items[1].Data), 1);
    const TSoftwareVersion& v = *c.GetVersion(0);
    ASSERT_EQ(v.BlockData.size(), 3u);
    EXPECT_EQ(v.BlockData[0] + v.BlockData[1] + v.BlockData[2].substr(0, 700 - 512), body);
    EXPECT_EQ(v.BlockData[2].substr(700 - 512), std::string(256 - (700 - 512), '\xFF'));
}

TEST(FwPackManifest, MistakesAreNamed)
{
    const std::string package = "[package]\nlabel=L\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[image a]\nversion=x\nsize=500\n", "no [package]"},
        {"[package]\n[image a]\nversion=x\nsize=500\n", "label is required"},
        {"[package]\nlabel=a|b\n[image a]\nversion=x\nsize=500\n", "\"|\""},
        {package, "no archive item"},
        {package + "[image a]\nversion=x\n", "[image a]: give either file or size"},
        {package + "[image a]\nversion=x\nsize=500\nfile=y\n", "either file or size"},
        {package + "[image a]\nsize=500\n", "version is required"},
        {package + "[image a]\nversion=x\nsize=447\n", "size = 447 is outside"},
        {package + "[image a]\nversion=x\nsize=5oo\n", "not a number"},
        {package + "[image a]\nversion=x\nsize=500\ncolour=red\n", "unknown key \"colour\""},
        {package + "[image a]\nversion=x\nsize=500\n[image b]\nversion=x\nsize=600\n", "made twice"},
        {package + "[image a]\nversion=a/b\nsize=500\n", "cannot be an archive item name"},
        {package + "[thing a]\n", "unknown section kind"},
        {package + "[unit]\npackage=a.ini\nsize=10\n", "needs a name"},
        {package + "[unit u]\npackage=u.txt\nsize=10\n", "package must name"},
        {package + "[unit u]\npackage=u.cfw\nsize=10\n", "inner must name"},
        {package + "[unit u]\npackage=u.ini\ninner=x.ini\nsize=10\n", "inner is only for .cfw"},
        {package + "[unit u]\npackage=u.efw\nsize=10\n",
         "[unit u]: a QVD_FW_v01 container cannot hold an empty revision set"},
        {package + "[unit u]\npackage=u.efw\naddress_width=8\nhardware_rev=1\nsize=10\n",
         "always has 16-bit"},
        {package + "[unit u]\npackage=u.efw\nhardware_rev=1\nmap_bytes=32\nsize=10\n", "64 or 128 bytes"},
        {package + "[unit u]\npackage=u.efw\nhardware_rev=1\ncrc=no\nsize=10\n", "crc is only for .ini"},
        {package + "[unit u]\npackage=u.efw\nhardware_rev=1\nsize=10\n[unit "
                   "v]\npackage=u.efw\nhardware_rev=1\nsize=10\n",
         "one per .efw"},
        {package + "[unit u]\npackage=u.ini\nhardware_rev=1,256\nsize=10\n", "not a revision"},
        {package + "[unit u]\npackage=u.ini\naddress_width=12\nsize=10\n", "8 or 16"},
        {package + "[unit u]\npackage=u.ini\nsize=70000\n", "names blocks below 256"},
        {package + "[unit u]\npackage=u.ini\nclass=256\nsize=10\n", "class = 256 is outside"},
        {package + "[unit u]\npackage=u.ini\ndouble_map=maybe\nsize=10\n", "neither yes nor no"},
        {package + "[unit u]\npackage=u.ini\nfile=/nonexistent/body\n", "cannot read /nonexistent/body"},
        {package + "[image a]\nversion=x\nsize=500\n[module m]\npackage=x.ini\nsize=10\n",
         "unknown key \"package\""},
        {package + "[image a]\nversion=x\nsize=500\n[module m]\nhardware_rev=1\nsize=10\n[module "
                   "n]\nhardware_rev=1\nsize=10\n",
         "only one [module]"},
    };
    for (const auto& [manifest, message] : cases) {
        try {
            BuildFromManifest(manifest, ".", Keys());
            ADD_FAILURE() << "accepted: " << manifest;
        } catch (const EPackError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos)
                << e.what() << "\n-- wanted: " << message;
        }
    }
}

TEST(FwPackProgram, HelpDocumentsTheManifest)
{
    const TRun r = RunFwpack("--help");
    EXPECT_EQ(r.Status, 0);
    for (const char* text : {"--gps-fw", "--egps-fw", "--keys", "[package]", "[image NAME]", "[unit NAME]",
                             "[module NAME]", "hardware_rev", "double_map"})
        EXPECT_NE(r.Output.find(text), std::string::npos) << text;
}

TEST(FwPackProgram, BadUseAndBadInputFailWithoutOutput)
{
    TScratch dir;
    EXPECT_EQ(RunFwpack("").Status, 2);
    EXPECT_EQ(RunFwpack("--keys").Status, 2);
    EXPECT_EQ(RunFwpack("--bogus x").Status, 2);
    const std::string keys = VELTRAC_TEST_KEYS_FILE;
    EXPECT_EQ(RunFwpack("--keys " + keys + " --manifest " + std::string(VELTRAC_TEST_DEMO_MANIFEST)).Status,
              2);

    WriteFileBytes((dir / "bad.ini").string(), "[package]\nlabel=L\n[unit u]\npackage=u.ini\n");
    const TRun bad = RunFwpack("--keys " + keys + " --manifest " + (dir / "bad.ini").string() + " --gps-fw " +
                               (dir / "gps_fw").string());
    EXPECT_EQ(bad.Status, 1);
    EXPECT_NE(bad.Output.find("fwpack: [unit u]: give either file or size"), std::string::npos) << bad.Output;
    EXPECT_FALSE(fs::exists(dir / "gps_fw"));

    WriteFileBytes((dir / "keys.txt").string(), "image=00\n");
    const TRun badKeys =
        RunFwpack("--keys " + (dir / "keys.txt").string() + " --manifest " +
                  std::string(VELTRAC_TEST_DEMO_MANIFEST) + " --gps-fw " + (dir / "gps_fw").string());
    EXPECT_EQ(badKeys.Status, 1);
    EXPECT_NE(badKeys.Output.find("32 hex digits"), std::string::npos) << badKeys.Output;

    WriteFileBytes((dir / "nomodule.ini").string(), "[package]\nlabel=L\n[image a]\nversion=x\nsize=500\n");
    const TRun noModule = RunFwpack("--keys " + keys + " --manifest " + (dir / "nomodule.ini").string() +
                                    " --egps-fw " + (dir / "egps_fw").string());
    EXPECT_EQ(noModule.Status, 1);
    EXPECT_FALSE(fs::exists(dir / "egps_fw"));
}

// ---------------------------------------------------------------------------
// The demo set the build embeds

class DemoFirmware : public ::testing::Test
{
  protected:
    // A build with other firmware embeds no demo set to check.
    void SetUp() override
    {
        if (!VELTRAC_TEST_DEMO_IN_USE)
            GTEST_SKIP() << "the build embeds other firmware than the demo set";
    }
    static void SetUpTestSuite()
    {
        if (!VELTRAC_TEST_DEMO_IN_USE)
            return;
        GpsFw = new std::string(ReadFileBytes(VELTRAC_TEST_GPS_FW_FILE));
        Archive = new std::string(ReadFileBytes(VELTRAC_TEST_DEMO_ARCHIVE));
        Expected = new TMemIniFile(ReadFileBytes(VELTRAC_TEST_DEMO_EXPECTED));
    }
    static void TearDownTestSuite()
    {
        delete GpsFw;
        delete Archive;
        delete Expected;
    }
    static std::string* GpsFw;
    static std::string* Archive;
    static TMemIniFile* Expected;
};
std::string* DemoFirmware::GpsFw = nullptr;
std::string* DemoFirmware::Archive = nullptr;
TMemIniFile* DemoFirmware::Expected = nullptr;

TEST_F(DemoFirmware, IsReproducedByFwpack)
{
    TScratch dir;
    const TRun r = RunFwpack("--keys " + std::string(VELTRAC_TEST_KEYS_FILE) + " --manifest " +
                             VELTRAC_TEST_DEMO_MANIFEST + " --gps-fw " + (dir / "gps_fw").string() +
                             " --egps-fw " + (dir / "egps_fw").string());
    ASSERT_EQ(r.Status, 0) << r.Output;
    EXPECT_TRUE(ReadFileBytes((dir / "gps_fw").string()) == *GpsFw);
    EXPECT_TRUE(ReadFileBytes((dir / "egps_fw").string()) == ReadFileBytes(VELTRAC_TEST_EGPS_FW_FILE));
}

TEST_F(DemoFirmware, ImageHoldsTheLabelAndTheArchive)
{
    const TFirmwareImage image = SplitFirmwareImage(*GpsFw, ImageKey());
    EXPECT_EQ(image.Label, "Demo package 2026-12");
    EXPECT_TRUE(image.Archive == *Archive);
}

TEST_F(DemoFirmware, ReceiverImages)
{
    std::string buffer = *Archive;
    auto reader = NewArchiveReader();
    TArchiveStream stream(buffer);
    reader->OpenArchiveStream(stream);
    std::map<std::string, int> axnTypes;
    std::vector<std::string> mcgg;
    int eva = 0;
    int images = 0;
    for (uint32_t i = 0; i < reader->ItemCount(); ++i) {
        const std::string name = reader->ItemPathOf(i);
        EXPECT_EQ(name, Expected->ReadString("package", "item" + std::to_string(i + 1), ""));
        if (name.size() < 4 || name.substr(name.size() - 4) != ".bin")
            continue;
        ++images;
        std::string data;
        reader->ExtractItemToStream(i, data, false);
        EXPECT_TRUE(data == ReadFileBytes((fs::path(VELTRAC_TEST_DEMO_DIR) / name).string())) << name;
        EXPECT_GE(data.size(), 96u * 1024) << name;
        EXPECT_LE(data.size(), 1024u * 1024) << name;
        ASSERT_GE(data.size(), 448u);
        EXPECT_EQ(data.substr(144, 6), "MTKGPS") << name;
        EXPECT_EQ(data.substr(328, 3), "AXN") << name;
        const uint32_t length = static_cast<uint8_t>(data[244]) | static_cast<uint8_t>(data[245]) << 8 |
                                static_cast<uint8_t>(data[246]) << 16 |
                                static_cast<uint32_t>(static_cast<uint8_t>(data[247])) << 24;
        EXPECT_EQ(length, data.size()) << name;
        if (name.rfind("AXN", 0) == 0) {
            const std::string type = name.substr(0, name.size() - 4);
            std::string field = type.substr(type.find(',') + 1);
            field = field.substr(field.find(',') + 1);
            field = field.substr(0, field.find(','));
            ++axnTypes[field];
            if (field == "MC-GG")
                mcgg.push_back(name);
        }
        if (name.rfind("EVA", 0) == 0 && name.size() > 6 && name.substr(name.size() - 6) == "+F.bin")
            ++eva;
    }
    reader->CloseArchive();
    EXPECT_GE(images, 5);
    EXPECT_GE(axnTypes.size(), 3u);
    EXPECT_EQ(axnTypes["MC-GG"], 2);
    ASSERT_EQ(mcgg.size(), 2u);
    // The recovery text is the older, first-listed image; the later one is the one to install.
    EXPECT_EQ(mcgg[0], "AXN_3.8_3333_15043022,3424,MC-GG,1.0.bin");
    EXPECT_GE(eva, 1);
}

TEST_F(DemoFirmware, UnitFirmwareForThreeClassesInEveryForm)
{
    TSoftwareVersionCollection c;
    const int units = Expected->ReadInteger("package", "units", 0);
    ASSERT_GE(units, 9);
    EXPECT_EQ(c.LoadFromArchive(*Archive), units);
    std::map<int, std::set<std::string>> forms;
    bool emptyRevisions = false;
    bool givenRevisions = false;
    for (int i = 1; i <= units; ++i) {
        const std::string s = "unit" + std::to_string(i);
        const TSoftwareVersion* v = ByTitle(c, Expected->ReadString(s, "title", ""));
        ASSERT_NE(v, nullptr) << s;
        EXPECT_EQ(v->Info.Class, Expected->ReadInteger(s, "class", -1)) << s;
        EXPECT_EQ(v->Info.Hardware, Expected->ReadInteger(s, "hardware", -1)) << s;
        EXPECT_EQ(v->Info.Version, Expected->ReadInteger(s, "version", -1)) << s;
        EXPECT_EQ(v->Info.HardwareID, Expected->ReadInteger(s, "hardware_id", -1)) << s;
        EXPECT_EQ(v->CRC, HexToIntDef(Expected->ReadString(s, "crc", ""), -1)) << s;
        EXPECT_EQ(static_cast<int>(v->BlockNumbers.size()), Expected->ReadInteger(s, "block_count", -1)) << s;
        std::string revs;
        for (size_t r = 0; r < 256; ++r)
            if (v->Info.HardwareRev.test(r))
                revs += (revs.empty() ? "" : ",") + std::to_string(r);
        EXPECT_EQ(revs, Expected->ReadString(s, "hardware_rev", "?")) << s;
        (revs.empty() ? emptyRevisions : givenRevisions) = true;
        const std::string package = Expected->ReadString(s, "package", "");
        forms[v->Info.Class].insert(package.substr(package.rfind('.')));
    }
    int complete = 0;
    for (const auto& [cls, f] : forms)
        complete += f == std::set<std::string>{".ini", ".efw", ".cfw"};
    EXPECT_GE(complete, 3);
    EXPECT_TRUE(emptyRevisions);
    EXPECT_TRUE(givenRevisions);
}

TEST_F(DemoFirmware, ModuleControllerIsAtLeastTwoPointZero)
{
    TSoftwareVersionCollection c;
    ASSERT_EQ(c.LoadFromEfw(ReadFileBytes(VELTRAC_TEST_EGPS_FW_FILE)), 1);
    TSoftwareUpdate u;
    ASSERT_TRUE(u.Select(c, "*"));
    EXPECT_TRUE(u.Wide);
    EXPECT_GE(u.Version, 200);
    EXPECT_EQ(u.Version, Expected->ReadInteger("module", "version", -1));
    EXPECT_GT(u.HardwareID, 0);
}
