#include "tools/fwpack/FwPack.h"

#include "firmware/IniFile.h"
#include "util/MyConvert.h"

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>

const char* const kManifestHelp =
    R"(Manifest format (INI text; section and key names ignore case, ";" starts a
comment line, numbers are decimal or hexadecimal with "0x" or "$"). Archive
items appear in the order of the sections that first name them. Section
names must be unique. Paths are relative to the manifest's folder.

[package]                   required
  label = TEXT              names the package (window caption); no "|"
  seed = N                  base of every generated payload (default 1)

[image NAME]                a receiver image, archive item "<version>.bin"
  version = TEXT            the version text the receiver reports when it runs
                            the image (required); field 2 (split at ",") is the
                            module type the tool matches
  file = PATH               the image as it is, or generate one:
  size = BYTES              total size of the generated image
  seed = N                  payload seed (default: the section's position)
  header = mtk | none       generated images get a MediaTek header (default
                            mtk): 448 bytes, "MTKGPS" at 144, the image length
                            (little-endian 32-bit) at 244, "AXN" at 328

[unit NAME]                 a unit firmware version
  package = ITEM            archive item holding it; its extension is the form:
                              .ini  INI text, one section per version (units
                                    naming the same item share it)
                              .efw  "QVD_FW_v01" container, one version
                              .cfw  "QVD_CFW_v01": an enciphered 7z archive of
                                    inner items (units naming the same .cfw
                                    share it)
  inner = ITEM              .cfw only: the item inside (.ini or .efw)
  title = TEXT              default NAME
  class = N                 0..255, the unit-type code it fits
  hardware = N              (.efw: 0..255)
  hardware_rev = LIST       revisions 0..255, comma-separated; empty (default)
                            fits every revision. An .efw holds one revision
                            anywhere plus any of 1..128, never an empty set
  type = N, version = N     0..65535 (.efw: version below 65535)
  hardware_id = N           0 = none (.efw: up to 65535)
  address_width = 8 | 16    block-number width (default 8; .efw always 16)
  map_bytes = N             map length: 32 for 8-bit numbers; 64 or 128 for
                            .efw; any for 16-bit .ini (default: the smallest
                            of 64, 128 or a multiple of 16 that holds the data)
  double_map = yes | no     map starts 07 E3 and each bit names two blocks
  first_block = N           first data block (default 16; 32 with double_map)
  crc = yes | no            .ini: write the CRC key (default yes)
  file = PATH               the firmware body, or generate one:
  size = BYTES, seed = N    as for images
  The body is cut into 256-byte blocks, the last one filled up with 0xFF.

[module NAME]               the External GPS controller firmware (--egps-fw),
                            at most one: the keys of a unit without package,
                            inner and crc, always a "QVD_FW_v01" container.
                            Version 200 and above means 2.00 and above. A
                            generated body begins with "VELTRAC FW X.YY" and a
                            zero byte, the version it carries.
)";

namespace
{

namespace fs = std::filesystem;

std::string Lower(std::string S)
{
    return LowerText(S);
}

struct TSection {
    const TMemIniFile& Ini;
    std::string Name; // as in the manifest
    std::string Id;   // NAME after the kind
    int Position = 0;

    [[noreturn]] void Fail(const std::string& Message) const
    {
        throw EPackError("[" + Name + "]: " + Message);
    }
    bool Has(const std::string& Key) const { return Ini.ValueExists(Name, Key); }
    std::string Text(const std::string& Key, const std::string& Default = "") const
    {
        return Ini.ReadString(Name, Key, Default);
    }
    int64_t Number(const std::string& Key, int64_t Default, int64_t Min, int64_t Max) const
    {
        if (!Has(Key))
            return Default;
        const std::string text = Text(Key);
        int32_t v = 0;
        if (!TMemIniFile::ParseInteger(text, v))
            Fail(Key + " = \"" + text + "\" is not a number");
        // Hex texts fill 32 bits; sizes and codes are never negative, so read them unsigned.
        int64_t value = v;
        if (Min >= 0 && v < 0)
            value = static_cast<uint32_t>(v);
        if (value < Min || value > Max)
            Fail(Key + " = " + text + " is outside " + std::to_string(Min) + ".." + std::to_string(Max));
        return value;
    }
    bool Flag(const std::string& Key, bool Default) const
    {
        if (!Has(Key))
            return Default;
        const std::string v = Lower(Text(Key));
        if (v == "yes" || v == "true" || v == "1" || v == "on")
            return true;
        if (v == "no" || v == "false" || v == "0" || v == "off")
            return false;
        Fail(Key + " = \"" + Text(Key) + "\" is neither yes nor no");
    }
    void AllowOnly(const std::set<std::string>& Keys) const
    {
        for (const std::string& k : Ini.ReadSection(Name))
            if (Keys.count(Lower(k)) == 0)
                Fail("unknown key \"" + k + "\"");
    }
};

std::string Extension(const std::string& Item)
{
    const size_t dot = Item.rfind('.');
    return dot == std::string::npos ? std::string() : Lower(Item.substr(dot));
}

uint64_t MixSeed(uint64_t Package, uint64_t Section)
{
    return Package * 0x100000001B3ull ^ (Section + 0x9E3779B97F4A7C15ull);
}

class TManifestBuilder
{
  public:
    TManifestBuilder(const std::string& Text, const std::string& BaseDir, const TPackKeys& Keys,
                     const std::string& SevenZip)
        : FIni(Text), FBaseDir(BaseDir), FKeys(Keys), FSevenZip(SevenZip)
    {
    }

    TPackResult Build();

  private:
    struct TUnit {
        std::string Section;
        std::string Id;
        TPackVersion Version;
        bool WithCrc = true;
        std::string Package;
        std::string Inner;
        int32_t FirstBlock = 0;
    };
    // One archive item, or one item inside a .cfw, while the manifest is read.
    struct TPending {
        std::string Name;
        std::string Data;            // ready (images)
        std::vector<size_t> Units;   // .ini or .efw: the units it holds
        std::vector<TPending> Inner; // .cfw
    };

    std::string Body(const TSection& S, size_t MinSize);
    void ReadImage(const TSection& S);
    TUnit ReadUnit(const TSection& S, bool Module);
    std::string Materialise(const TPending& Item);
    static TPending& FindOrAdd(std::vector<TPending>& Items, const std::string& Name);
    void WriteExpectedVersion(std::ostringstream& Out, const std::string& Section, const TUnit& U) const;

    TMemIniFile FIni;
    std::string FBaseDir;
    TPackKeys FKeys;
    std::string FSevenZip;
    uint64_t FSeed = 1;
    std::vector<TPending> FItems;
    std::vector<TUnit> FUnits;
    std::vector<std::pair<std::string, std::string>> FImages; // section, item name
    std::unique_ptr<TUnit> FModule;
    std::vector<std::string> FInputs;
};

std::string TManifestBuilder::Body(const TSection& S, size_t MinSize)
{
    if (S.Has("file") == S.Has("size"))
        S.Fail("give either file or size");
    if (S.Has("file")) {
        if (S.Has("seed"))
            S.Fail("seed is only for generated payloads");
        const fs::path path = fs::path(FBaseDir) / S.Text("file");
        std::string data = ReadFileBytes(path.string());
        FInputs.push_back(path.string());
        if (data.size() < MinSize || data.empty())
            S.Fail(path.string() + " is too short");
        return data;
    }
    const auto size = static_cast<size_t>(
        S.Number("size", 0, static_cast<int64_t>(std::max<size_t>(MinSize, 1)), 64 << 20));
    const auto seed = static_cast<uint64_t>(S.Number("seed", S.Position, 0, 0xFFFFFFFFll));
    return GeneratePayload(size, MixSeed(FSeed, seed));
}

void TManifestBuilder::ReadImage(const TSection& S)
{
    S.AllowOnly({"version", "file", "size", "seed", "header"});
    const std::string version = S.Text("version");
    if (version.empty())
        S.Fail("version is required");
    std::string header = Lower(S.Text("header", "mtk"));
    if (header != "mtk" && header != "none")
        S.Fail("header must be mtk or none");
    if (S.Has("file") && S.Has("header"))
        S.Fail("header is only for generated images");
    const bool generated = !S.Has("file");
    std::string data = Body(S, generated && header == "mtk" ? kMtkHeaderSize : 1);
    if (generated && header == "mtk")
        data = StampMtkHeader(std::move(data), version);
    const std::string name = version + ".bin";
    for (const TPending& item : FItems)
        if (item.Name == name)
            S.Fail("archive item \"" + name + "\" is made twice");
    FItems.push_back(TPending{name, std::move(data), {}, {}});
    FImages.emplace_back(S.Name, name);
}

TManifestBuilder::TUnit TManifestBuilder::ReadUnit(const TSection& S, bool Module)
{
    std::set<std::string> keys = {"title",       "class",       "hardware",      "hardware_rev", "type",
                                  "version",     "hardware_id", "address_width", "map_bytes",    "double_map",
                                  "first_block", "file",        "size",          "seed"};
    if (!Module)
        keys.insert({"package", "inner", "crc"});
    S.AllowOnly(keys);

    TUnit u;
    u.Section = S.Name;
    u.Id = S.Id;
    TPackVersion& v = u.Version;
    v.Title = S.Text("title", S.Id);
    if (v.Title.empty())
        S.Fail("the title is empty");
    v.Class = static_cast<uint8_t>(S.Number("class", 0, 0, 255));
    v.Hardware = static_cast<int32_t>(S.Number("hardware", 0, INT32_MIN, INT32_MAX));
    v.Type = static_cast<uint16_t>(S.Number("type", 0, 0, 0xFFFF));
    v.Version = static_cast<uint16_t>(S.Number("version", 0, 0, 0xFFFF));
    v.HardwareID = static_cast<int32_t>(S.Number("hardware_id", 0, INT32_MIN, INT32_MAX));
    std::string revs = S.Text("hardware_rev");
    std::istringstream list(revs);
    std::string item;
    while (std::getline(list, item, ',')) {
        int32_t r = 0;
        if (!TMemIniFile::ParseInteger(item, r) || r < 0 || r > 255)
            S.Fail("hardware_rev item \"" + item + "\" is not a revision 0..255");
        v.HardwareRev.set(static_cast<size_t>(r));
    }

    std::string form = ".efw";
    if (!Module) {
        u.Package = S.Text("package");
        form = Extension(u.Package);
        if (form != ".ini" && form != ".efw" && form != ".cfw")
            S.Fail("package must name an .ini, .efw or .cfw item");
        if (form == ".cfw") {
            u.Inner = S.Text("inner");
            form = Extension(u.Inner);
            if (form != ".ini" && form != ".efw")
                S.Fail("inner must name an .ini or .efw item");
        } else if (S.Has("inner")) {
            S.Fail("inner is only for .cfw packages");
        }
        u.WithCrc = S.Flag("crc", true);
        if (form != ".ini" && S.Has("crc"))
            S.Fail("crc is only for .ini packages");
    }
    const bool efw = form == ".efw";
    const int64_t width = S.Number("address_width", efw ? 16 : 8, 8, 16);
    if (width != 8 && width != 16)
        S.Fail("address_width must be 8 or 16");
    if (efw && width != 16)
        S.Fail("a QVD_FW_v01 container always has 16-bit block numbers");
    v.Wide = width == 16;
    const bool doubleMap = S.Flag("double_map", false);
    u.FirstBlock = static_cast<int32_t>(S.Number("first_block", doubleMap ? 32 : 16, 0, 0xFFFC));
    std::string body = Body(S, 1);
    if (Module && !S.Has("file"))
        body = StampFirmwareVersion(std::move(body), v.Version);

    const int64_t blocks = static_cast<int64_t>((body.size() + 255) / 256);
    const int64_t bits = (u.FirstBlock + blocks - 1) / (doubleMap ? 2 : 1) + 1;
    int64_t mapBytes = 32;
    if (v.Wide) {
        mapBytes = bits <= 64 * 8 ? 64 : bits <= 128 * 8 ? 128 : (bits + 127) / 128 * 16;
        mapBytes = S.Number("map_bytes", mapBytes, 2, 8192);
        if (efw && mapBytes != 64 && mapBytes != 128)
            S.Fail("a QVD_FW_v01 map is 64 or 128 bytes");
    } else {
        S.Number("map_bytes", 32, 32, 32); // 8-bit block numbers use a 32-byte map
    }
    try {
        CutBlocks(v, body, u.FirstBlock, static_cast<size_t>(mapBytes), doubleMap);
        if (efw)
            EfwRecords(v); // refuses early what the container cannot hold
    } catch (const EPackError& e) {
        S.Fail(e.what());
    }
    return u;
}

TManifestBuilder::TPending& TManifestBuilder::FindOrAdd(std::vector<TPending>& Items, const std::string& Name)
{
    for (TPending& item : Items)
        if (item.Name == Name)
            return item;
    Items.push_back(TPending{Name, {}, {}, {}});
    return Items.back();
}

std::string TManifestBuilder::Materialise(const TPending& Item)
{
    const std::string ext = Extension(Item.Name);
    if (ext == ".cfw") {
        std::vector<TArchiveItem> inner;
        for (const TPending& p : Item.Inner)
            inner.push_back(TArchiveItem{p.Name, Materialise(p)});
        return WriteCfw(BuildSevenZip(inner, FSevenZip), FKeys.Cfw);
    }
    if (ext == ".efw")
        return WriteEfw(FUnits[Item.Units.front()].Version, FKeys.Efw);
    if (ext == ".ini") {
        std::string text = "; Firmware package written by fwpack\r\n\r\n";
        for (size_t i : Item.Units) {
            const TUnit& u = FUnits[i];
            text += WriteIniSection(u.Version, u.Id, u.WithCrc);
        }
        return text;
    }
    return Item.Data;
}

void TManifestBuilder::WriteExpectedVersion(std::ostringstream& Out, const std::string& Section,
                                            const TUnit& U) const
{
    const TPackVersion& v = U.Version;
    const std::string revs = RevisionList(v.HardwareRev);
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X", v.Checksum());
    Out << "[" << Section << "]\n"
        << "manifest_section=" << U.Section << "\n"
        << "title=" << v.Title << "\n"
        << "package=" << U.Package << "\n"
        << "inner=" << U.Inner << "\n"
        << "class=" << static_cast<int>(v.Class) << "\n"
        << "hardware=" << v.Hardware << "\n"
        << "hardware_rev=" << revs << "\n"
        << "type=" << v.Type << "\n"
        << "version=" << v.Version << "\n"
        << "hardware_id=" << v.HardwareID << "\n"
        << "wide=" << (v.Wide ? 1 : 0) << "\n"
        << "map=" << BytesToHex(v.Map, false) << "\n"
        << "crc=" << crc << "\n"
        << "block_count=" << v.Blocks.size() << "\n"
        << "first_block=" << v.Blocks.front().first << "\n"
        << "last_block=" << v.Blocks.back().first << "\n\n";
}

TPackResult TManifestBuilder::Build()
{
    if (!FIni.SectionExists("package"))
        throw EPackError("the manifest has no [package] section");
    const TSection package{FIni, "package", "", 0};
    package.AllowOnly({"label", "seed"});
    TPackResult result;
    result.Label = package.Text("label");
    if (result.Label.empty())
        package.Fail("label is required");
    if (result.Label.find('|') != std::string::npos)
        package.Fail("the label cannot hold \"|\"");
    FSeed = static_cast<uint64_t>(package.Number("seed", 1, 0, 0xFFFFFFFFll));

    int position = 0;
    for (const std::string& name : FIni.ReadSections()) {
        ++position;
        const size_t blank = name.find_first_of(" \t");
        const std::string kind = Lower(name.substr(0, blank));
        const std::string id =
            blank == std::string::npos ? std::string() : name.substr(name.find_first_not_of(" \t", blank));
        const TSection s{FIni, name, id, position};
        if (kind == "package")
            continue;
        if ((kind == "image" || kind == "unit" || kind == "module") && id.empty())
            s.Fail("the section needs a name after \"" + kind + "\"");
        if (kind == "image") {
            ReadImage(s);
        } else if (kind == "unit") {
            FUnits.push_back(ReadUnit(s, false));
            const TUnit& u = FUnits.back();
            TPending& item = FindOrAdd(FItems, u.Package);
            TPending& holder = u.Inner.empty() ? item : FindOrAdd(item.Inner, u.Inner);
            if (Extension(holder.Name) == ".efw" && !holder.Units.empty())
                s.Fail("\"" + holder.Name + "\" already holds a version (one per .efw)");
            holder.Units.push_back(FUnits.size() - 1);
        } else if (kind == "module") {
            if (FModule)
                s.Fail("only one [module] section is allowed");
            FModule = std::make_unique<TUnit>(ReadUnit(s, true));
        } else {
            s.Fail("unknown section kind (package, image, unit, module)");
        }
    }
    // Images end in ".bin" and packages never do, so item names cannot clash between them.
    if (FItems.empty())
        throw EPackError("the manifest makes no archive item");

    for (const TPending& item : FItems)
        result.Items.push_back(TArchiveItem{item.Name, Materialise(item)});
    result.Archive = BuildSevenZip(result.Items, FSevenZip);
    result.GpsFw = WriteFirmwareImage(result.Label, result.Archive, FKeys.Image);
    if (FModule)
        result.EgpsFw = WriteEfw(FModule->Version, FKeys.Efw);

    std::ostringstream out;
    out << "; What fwpack made from the manifest, for tests.\n\n[package]\n"
        << "label=" << result.Label << "\n"
        << "items=" << result.Items.size() << "\n";
    for (size_t i = 0; i < result.Items.size(); ++i)
        out << "item" << i + 1 << "=" << result.Items[i].Name << "\n";
    out << "images=" << FImages.size() << "\n"
        << "units=" << FUnits.size() << "\n"
        << "module=" << (FModule ? 1 : 0) << "\n\n";
    for (size_t i = 0; i < FImages.size(); ++i) {
        const std::string& name = FImages[i].second;
        size_t size = 0;
        for (const TArchiveItem& item : result.Items)
            if (item.Name == name)
                size = item.Data.size();
        std::string version = name.substr(0, name.size() - 4);
        std::string field2 = version;
        for (int f = 0; f < 2; ++f)
            field2 =
                field2.find(',') == std::string::npos ? std::string() : field2.substr(field2.find(',') + 1);
        field2 = field2.substr(0, field2.find(','));
        out << "[image" << i + 1 << "]\n"
            << "manifest_section=" << FImages[i].first << "\n"
            << "name=" << name << "\n"
            << "version=" << version << "\n"
            << "module_type=" << field2 << "\n"
            << "size=" << size << "\n\n";
    }
    for (size_t i = 0; i < FUnits.size(); ++i)
        WriteExpectedVersion(out, "unit" + std::to_string(i + 1), FUnits[i]);
    if (FModule)
        WriteExpectedVersion(out, "module", *FModule);
    result.Expected = out.str();
    result.Inputs = FInputs;
    return result;
}

} // namespace

TPackResult BuildFromManifest(const std::string& ManifestText, const std::string& BaseDir,
                              const TPackKeys& Keys, const std::string& SevenZipProgram)
{
    return TManifestBuilder(ManifestText, BaseDir, Keys, SevenZipProgram).Build();
}
