#include "firmware/SoftUpdate.h"

#include "firmware/ArchiveReader.h"
#include "firmware/IniFile.h"
#include "firmware/Keys.h"
#include "firmware/MyCrypt.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <unordered_map>

namespace
{

constexpr int32_t kPageSize = 256;
constexpr int32_t kIdentityBlock = 0xFFFF;
constexpr int32_t kMapBlockWithId = 0xFFFE;
constexpr int32_t kMapBlock = 0xFFFD;

// Archives inside containers inside archives: deeper nesting than this is not
// firmware but a trap (an archive that contains itself would never end).
constexpr int32_t kMaxNesting = 8;

struct TNestingGuard {
    int32_t& Level;
    explicit TNestingGuard(int32_t& ALevel) : Level(ALevel) { ++Level; }
    ~TNestingGuard() { --Level; }
    TNestingGuard(const TNestingGuard&) = delete;
    TNestingGuard& operator=(const TNestingGuard&) = delete;
};

std::string LowerExt(const std::string& Path)
{
    size_t slash = Path.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? Path : Path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : LowerText(name.substr(dot));
}

// Fast lookup of stored blocks while a version is built or checked; BlockNumbers
// stays the authority, and its first entry of a number wins as in a linear scan.
class TBlockIndex
{
  public:
    explicit TBlockIndex(TSoftwareVersion& AVersion) : FVersion(AVersion)
    {
        // Lists of unequal length (a hand-made version) are cut to their common part.
        const size_t n = std::min(FVersion.BlockNumbers.size(), FVersion.BlockData.size());
        FVersion.BlockNumbers.resize(n);
        FVersion.BlockData.resize(n);
        for (size_t i = 0; i < n; ++i)
            FIndex.emplace(FVersion.BlockNumbers[i], i);
    }

    void Set(int32_t N, std::string Data)
    {
        if (Data.size() > static_cast<size_t>(kPageSize))
            Data.resize(kPageSize);
        std::string key = std::to_string(N);
        auto it = FIndex.find(key);
        if (it != FIndex.end()) {
            FVersion.BlockData[it->second] = std::move(Data);
            return;
        }
        FIndex.emplace(key, FVersion.BlockNumbers.size());
        FVersion.BlockNumbers.push_back(std::move(key));
        FVersion.BlockData.push_back(std::move(Data));
    }

  private:
    TSoftwareVersion& FVersion;
    std::unordered_map<std::string, size_t> FIndex;
};

} // namespace

// ---------------------------------------------------------------------------
// Map and block helpers

void InitVersion(TSoftwareVersion& Version)
{
    Version = TSoftwareVersion();
}

void FreeBlockLists(TSoftwareVersion& Version)
{
    Version.BlockNumbers.clear();
    Version.BlockData.clear();
}

bool IsDoubleMap(const std::string& Blocks)
{
    return Blocks.size() >= 2 && static_cast<uint8_t>(Blocks[0]) == 0x07 &&
           static_cast<uint8_t>(Blocks[1]) == 0xE3;
}

int32_t HighestMappedBlock(const std::string& Blocks)
{
    const auto len = static_cast<int64_t>(Blocks.size());
    const int64_t m = (IsDoubleMap(Blocks) ? 16 : 8) * len - 1;
    return m > INT32_MAX ? INT32_MAX : static_cast<int32_t>(m);
}

std::string DecodeHexText(const std::string& HexText)
{
    // Without blanks every group is at most two digits, so no group exceeds 255.
    try {
        return HexToBytes(HexText, false);
    } catch (const std::exception&) {
        return std::string();
    }
}

std::string BlockOf(const TSoftwareVersion& Version, int32_t N)
{
    const std::string key = std::to_string(N);
    for (size_t i = 0; i < Version.BlockNumbers.size() && i < Version.BlockData.size(); ++i)
        if (Version.BlockNumbers[i] == key)
            return Version.BlockData[i];
    return std::string(kPageSize, '\xFF');
}

void SetBlock(TSoftwareVersion& Version, int32_t N, bool Text, const std::string& Value)
{
    TBlockIndex(Version).Set(N, Text ? DecodeHexText(Value) : Value);
}

// ---------------------------------------------------------------------------
// Collection

TSoftwareVersionCollection::~TSoftwareVersionCollection()
{
    Clear();
}

void TSoftwareVersionCollection::Clear()
{
    while (FFirst != nullptr) {
        TSoftwareVersion* next = FFirst->Next;
        delete FFirst;
        FFirst = next;
    }
    FCount = 0;
}

void TSoftwareVersionCollection::AddVersion(const TSoftwareVersion& Version)
{
    auto* item = new TSoftwareVersion(Version);
    item->Next = FFirst;
    FFirst = item;
    ++FCount;
}

const TSoftwareVersion* TSoftwareVersionCollection::GetVersion(int32_t Index) const
{
    const TSoftwareVersion* v = FFirst;
    for (int32_t i = 0; i < Index && v != nullptr; ++i)
        v = v->Next;
    return v;
}

void TSoftwareVersionCollection::GetVersionInfo(int32_t Index, TSoftwareVersionInfo& Info) const
{
    const TSoftwareVersion* v = GetVersion(Index);
    Info = v != nullptr ? v->Info : TSoftwareVersionInfo();
}

int32_t TSoftwareVersionCollection::IndexOfTitle(const std::string& Title) const
{
    int32_t result = -1;
    int32_t i = 0;
    for (const TSoftwareVersion* v = FFirst; v != nullptr; v = v->Next, ++i)
        if (v->Info.Title == Title)
            result = i;
    return result;
}

uint16_t TSoftwareVersionCollection::CalcChecksum(const TSoftwareVersion& Version)
{
    std::unordered_map<std::string, size_t> index;
    for (size_t i = 0; i < Version.BlockNumbers.size() && i < Version.BlockData.size(); ++i)
        index.emplace(Version.BlockNumbers[i], i);
    uint16_t crc = Crc16Text(0xFFFF, Version.Blocks);
    auto add = [&](int64_t n) {
        auto it = n <= INT32_MAX ? index.find(std::to_string(n)) : index.end();
        if (it != index.end()) {
            crc = Crc16Text(crc, Version.BlockData[it->second]);
        } else {
            for (int32_t i = 0; i < kPageSize; ++i)
                crc = Crc16Byte(crc, 0xFF);
        }
    };
    const bool doubleMap = IsDoubleMap(Version.Blocks);
    for (size_t k = 2; k < Version.Blocks.size(); ++k) {
        const auto byte = static_cast<uint8_t>(Version.Blocks[k]);
        for (int b = 0; b < 8; ++b) {
            if ((byte >> b & 1) == 0)
                continue;
            const int64_t n = static_cast<int64_t>(8 * k) + b;
            if (doubleMap) {
                add(2 * n);
                add(2 * n + 1);
            } else {
                add(n);
            }
        }
    }
    return crc;
}

int32_t TSoftwareVersionCollection::LoadFromData(const std::string& Data, const std::string& Ext)
{
    const std::string ext = LowerText(Ext);
    if (ext == ".ini")
        return LoadFromIniText(Data);
    if (ext == ".cfw")
        return LoadFromCfw(Data);
    if (ext == ".efw")
        return LoadFromEfw(Data);
    return 0;
}

int32_t TSoftwareVersionCollection::LoadFromEfw(const std::string& Data)
{
    TSoftwareVersion v;
    InitVersion(v);
    size_t pos = std::min<size_t>(10, Data.size());
    bool valid = Data.compare(0, 10, "QVD_FW_v01") == 0;
    size_t mapLength = 0;
    if (Data.size() - pos > 2) {
        mapLength = 16 * static_cast<size_t>(static_cast<uint8_t>(Data[10]));
        valid = valid && Data[11] == 0 && (mapLength == 64 || mapLength == 128);
        pos += 2;
    }
    v.Wide = true;
    const size_t zero = Data.find('\0', pos);
    if (zero != std::string::npos) {
        v.Info.Title = Data.substr(pos, zero - pos);
        pos = zero + 1;
    }
    if (!valid)
        return 0;
    const std::string iv = Data.substr(pos, 16);
    pos = std::min(pos + 16, Data.size());
    // A short IV would fall back to an all-zero one; such a container is damaged anyway.
    std::string plain;
    if (iv.size() == 16)
        AesDecrypt(EfwKey(), 0, Data.substr(pos), 0, iv, 0, plain);

    TBlockIndex store(v);
    auto storeBlock = [&](int32_t n, const std::string& page) {
        auto word = [&](size_t at) {
            return static_cast<int32_t>(static_cast<uint8_t>(page[at]) << 8 |
                                        static_cast<uint8_t>(page[at + 1]));
        };
        if (n == kIdentityBlock) {
            v.Info.Class = static_cast<uint8_t>(page[0]);
            v.Info.Hardware = static_cast<uint8_t>(page[1]);
            v.Info.HardwareRev.reset();
            v.Info.HardwareRev.set(static_cast<uint8_t>(page[2]));
            v.Info.Type = static_cast<uint16_t>(word(3));
            v.Info.Version = word(5) == 0xFFFF ? 0 : static_cast<uint16_t>(word(5));
            // A clear bit lists the revision (erased flash lists none).
            for (int r = 1; r <= 128; ++r)
                if ((static_cast<uint8_t>(page[static_cast<size_t>(7 + r / 8)]) >> (r % 8) & 1) == 0)
                    v.Info.HardwareRev.set(static_cast<size_t>(r));
        } else if (n == kMapBlockWithId || n == kMapBlock) {
            v.Blocks = page.substr(0, mapLength);
            v.CRC = word(mapLength);
            if (n == kMapBlockWithId)
                v.Info.HardwareID = word(mapLength + 2);
        } else {
            store.Set(n, page);
        }
    };

    // Records: address (3 bytes, big-endian), count, data. Each rebuilds part of
    // one 256-byte page; a record never leaves its page.
    int32_t current = -1;
    std::string page;
    size_t p = 0;
    while (plain.size() - p > 4) {
        const auto* b = reinterpret_cast<const uint8_t*>(plain.data() + p);
        const uint32_t address = static_cast<uint32_t>(b[0]) << 16 | static_cast<uint32_t>(b[1]) << 8 | b[2];
        const size_t count = b[3];
        p += 4;
        // A record that claims more bytes than remain: nothing from here on is trusted.
        if (count > plain.size() - p)
            break;
        const auto block = static_cast<int32_t>(address >> 8);
        if (block != current) {
            if (current >= 0)
                storeBlock(current, page);
            current = block;
            page.assign(kPageSize, '\xFF');
        }
        for (size_t i = 0; i < count; ++i)
            page[(address + i) & 0xFF] = plain[p + i];
        p += count;
    }
    if (current >= 0)
        storeBlock(current, page);

    valid = v.CRC >= 0 && CalcChecksum(v) == v.CRC;
    if (!valid || v.Blocks.empty() || v.BlockNumbers.empty())
        return 0;
    AddVersion(v);
    return 1;
}

int32_t TSoftwareVersionCollection::LoadFromCfw(const std::string& Data)
{
    constexpr size_t kHeader = 11 + 16;
    if (Data.compare(0, 11, "QVD_CFW_v01") != 0 || Data.size() <= kHeader + 100)
        return 0;
    std::string plain;
    if (!AesDecrypt(CfwKey(), 0, Data.substr(kHeader), 0, Data.substr(11, 16), 2, plain))
        return 0;
    return LoadFromArchive(plain);
}

int32_t TSoftwareVersionCollection::LoadFromArchive(const std::string& Archive)
{
    if (FNesting >= kMaxNesting)
        return 0;
    TNestingGuard guard(FNesting);

    int32_t added = 0;
    std::string buffer = Archive;
    std::unique_ptr<IArchiveReader> reader;
    try {
        reader = NewArchiveReader();
        TArchiveStream stream(buffer);
        reader->OpenArchiveStream(stream);
        added = LoadArchiveItems(*reader, nullptr);
    } catch (...) {
        // Not an archive, or the library is unusable: nothing was read.
    }
    if (reader)
        reader->CloseArchive();
    return added;
}

int32_t TSoftwareVersionCollection::LoadFromOpenArchive(IArchiveReader& Reader,
                                                        std::vector<std::string>* Problems)
{
    if (FNesting >= kMaxNesting)
        return 0;
    TNestingGuard guard(FNesting);
    return LoadArchiveItems(Reader, Problems);
}

int32_t TSoftwareVersionCollection::LoadArchiveItems(IArchiveReader& Reader,
                                                     std::vector<std::string>* Problems)
{
    auto note = [Problems](const std::string& Text) {
        if (Problems)
            Problems->push_back(Text);
    };
    int32_t added = 0;
    try {
        const uint32_t count = Reader.ItemCount();
        for (uint32_t i = 0; i < count; ++i) {
            if (Reader.ItemIsDirectory(i))
                continue;
            if (OnProgress && count > 1)
                OnProgress(this, static_cast<int32_t>(i + 1), static_cast<int32_t>(count));
            const std::string path = Reader.ItemPathOf(i);
            try {
                const std::string ext = LowerExt(path);
                // Receiver images and other items would add nothing: not worth extracting.
                if (ext != ".ini" && ext != ".efw" && ext != ".cfw")
                    continue;
                if (const uint64_t size = Reader.ItemSizeOf(i); size > MaxArchiveItem) {
                    note(path + ": " + std::to_string(size) + " bytes, more than any firmware package holds");
                    continue;
                }
                std::string bytes;
                Reader.ExtractItemToStream(i, bytes, false);
                const int32_t n = LoadFromData(bytes, ext);
                if (n == 0)
                    note(path + ": no firmware version in it");
                added += n;
            } catch (const std::exception& e) {
                // A damaged item is skipped; the others may still be good.
                note(path + ": " + e.what());
            } catch (...) {
                note(path + ": cannot be read");
            }
        }
    } catch (const std::exception& e) {
        // The listing broke off: what was read stays.
        note(std::string("cannot list the archive: ") + e.what());
    } catch (...) {
        note("cannot list the archive");
    }
    return added;
}

int32_t TSoftwareVersionCollection::LoadFromIniText(const std::string& Text)
{
    return LoadIni(TMemIniFile(Text));
}

int32_t TSoftwareVersionCollection::LoadIni(const TMemIniFile& Ini)
{
    const std::vector<std::string> sections = Ini.ReadSections();
    const auto n = static_cast<int32_t>(sections.size());
    int32_t added = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (OnProgress && n > 1)
            OnProgress(this, i + 1, n);
        if (LoadIniSection(Ini, sections[static_cast<size_t>(i)]))
            ++added;
    }
    return added;
}

bool TSoftwareVersionCollection::LoadIniSection(const TMemIniFile& Ini, const std::string& Section)
{
    if (!Ini.SectionExists(Section))
        return false;
    TSoftwareVersion v;
    InitVersion(v);
    v.Wide = Ini.ReadInteger(Section, "AddressWidth", 8) == 16;
    v.Blocks = DecodeHexText(Ini.ReadString(Section, "Blocks", ""));
    if (!v.Wide && v.Blocks.size() > 32)
        v.Blocks.resize(32);
    v.Info.Title = Ini.ReadString(Section, "Title", Section);
    v.Info.Type = static_cast<uint16_t>(Ini.ReadInteger(Section, "Type", 0));
    v.Info.Version = static_cast<uint16_t>(Ini.ReadInteger(Section, "Version", 0));
    v.CRC = HexToIntDef(Ini.ReadString(Section, "CRC", ""), -1);
    v.Info.Class = static_cast<uint8_t>(Ini.ReadInteger(Section, "Class", 0));
    v.Info.Hardware = Ini.ReadInteger(Section, "Hardware", 0);
    v.Info.HardwareID = Ini.ReadInteger(Section, "HardwareID", 0);
    std::string revs = Ini.ReadString(Section, "HardwareRev", "");
    while (!revs.empty()) {
        // Blanks around an item and empty items (a trailing comma) name no revision.
        std::string item = FetchTokenChar(revs, ',');
        const size_t b = item.find_first_not_of(" \t");
        if (b == std::string::npos)
            continue;
        item = item.substr(b, item.find_last_not_of(" \t") - b + 1);
        v.Info.HardwareRev.set(static_cast<uint32_t>(DecToIntDef(item, 0)) & 0xFF);
    }

    const int32_t highest = HighestMappedBlock(v.Blocks);
    TBlockIndex store(v);
    for (const std::string& key : Ini.ReadSection(Section)) {
        const int32_t n = DecToIntDef(key, -1);
        if (n < 0 || n > highest)
            continue;
        // The block is read under its plain decimal name; a key spelled otherwise
        // ("016") keeps its own value rather than storing an empty block.
        const std::string plain = std::to_string(n);
        store.Set(n,
                  DecodeHexText(Ini.ReadString(Section, Ini.ValueExists(Section, plain) ? plain : key, "")));
    }

    if (v.CRC == -1)
        v.CRC = CalcChecksum(v);
    else if (v.CRC != CalcChecksum(v))
        v.Blocks.clear();
    if (v.Blocks.empty() || v.BlockNumbers.empty())
        return false;
    AddVersion(v);
    return true;
}

// ---------------------------------------------------------------------------
// Block feed

TSoftwareUpdate::TSoftwareUpdate()
{
    SetWide(false);
    ResetRequest();
}

void TSoftwareUpdate::Clear()
{
    Blocks.clear();
    BlockNumbers.clear();
    BlockData.clear();
    Title.clear();
    Type = 0;
    Version = 0;
    Class = 0;
    Hardware = 0;
    HardwareID = 0;
    CRC = -1;
    HardwareRev.reset();
    Pending = 0;
    ResetRequest();
}

bool TSoftwareUpdate::IsReady() const
{
    return !Blocks.empty() && !BlockNumbers.empty();
}

void TSoftwareUpdate::SetWide(bool AWide)
{
    Wide = AWide;
    size_t mapLength = 0;
    if (Wide) {
        MapBlock = -1;
        InfoBlock = 0xFFFD;
        EndBlock = 0xFFFF;
        MaxBlock = 0x7FF;
        mapLength = 64;
    } else {
        MapBlock = 1;
        InfoBlock = -1;
        EndBlock = 0;
        MaxBlock = 0xFF;
        mapLength = 32;
    }
    if (Blocks.size() != mapLength)
        Blocks.clear();
}

void TSoftwareUpdate::SetBlockMap(const std::string& HexText)
{
    const size_t n = Wide ? HexText.size() : 32;
    const int64_t highest = 8 * static_cast<int64_t>(n) - 1;
    MaxBlock = highest > INT32_MAX ? INT32_MAX : static_cast<int32_t>(highest);
    Blocks = DecodeHexText(HexText).substr(0, n);
}

bool TSoftwareUpdate::SelectIndex(const TSoftwareVersionCollection& Collection, int32_t Index)
{
    Clear();
    if (const TSoftwareVersion* v = Collection.GetVersion(Index)) {
        SetWide(v->Wide);
        SetBlockMap(BytesToHex(v->Blocks, false));
        Title = v->Info.Title;
        Type = v->Info.Type;
        Version = v->Info.Version;
        CRC = v->CRC;
        Class = v->Info.Class;
        Hardware = v->Info.Hardware;
        HardwareID = v->Info.HardwareID;
        HardwareRev = v->Info.HardwareRev;
        BlockNumbers.insert(BlockNumbers.end(), v->BlockNumbers.begin(), v->BlockNumbers.end());
        BlockData.insert(BlockData.end(), v->BlockData.begin(), v->BlockData.end());
    }
    return IsReady();
}

bool TSoftwareUpdate::Select(const TSoftwareVersionCollection& Collection, const std::string& ATitle)
{
    if (Collection.Count() == 0)
        return false;
    const int32_t index = ATitle == "*" ? 0 : Collection.IndexOfTitle(ATitle);
    if (index < 0)
        return false;
    return SelectIndex(Collection, index);
}

int TSoftwareUpdate::ParseChar(uint8_t Ch)
{
    History[0] = History[1];
    History[1] = History[2];
    History[2] = History[3];
    History[3] = Ch;
    if (Ch == '}') {
        // Only the position of "{" is tested, so number bytes equal to "{" or "}" still work.
        bool complete = false;
        if (Wide && History[0] == '{') {
            Requested = History[1] * 256 + History[2];
            complete = true;
        } else if (!Wide && History[1] == '{') {
            Requested = History[2];
            complete = true;
        }
        if (!complete)
            return 0;
        Pending = 0;
        return 2;
    }
    if (Ch == '{') {
        Pending = Wide ? 2 : 1;
        return 1;
    }
    if (Pending > 0) {
        --Pending;
        return 1;
    }
    return 0;
}

void TSoftwareUpdate::BuildReply(std::string& Reply)
{
    Reply.clear();
    if (!IsReady())
        return;
    const int32_t r = Requested;
    if (r == MapBlock || r == InfoBlock) {
        LastServed = MapBlock;
        Active = true;
        std::string payload = Blocks;
        if (r == InfoBlock) {
            payload += static_cast<char>(CRC >> 8 & 0xFF);
            payload += static_cast<char>(CRC & 0xFF);
            if (HardwareID > 0) {
                payload += static_cast<char>(HardwareID >> 8 & 0xFF);
                payload += static_cast<char>(HardwareID & 0xFF);
            }
        }
        Reply = MakeFrame(r, payload);
    } else if (r == EndBlock) {
        LastServed = 0;
        Active = false;
    } else if (r <= MaxBlock) {
        LastServed = r;
        Reply = MakeFrame(r, BlockOf(r));
        Active = true;
    }
}

void TSoftwareUpdate::ProcessChar(uint8_t Ch, std::string& Reply)
{
    if (ParseChar(Ch) == 2)
        BuildReply(Reply);
    else
        Reply.clear();
}

std::string TSoftwareUpdate::MakeFrame(int32_t Number, const std::string& Payload) const
{
    std::string body;
    body.reserve(Payload.size() + 3);
    if (Wide)
        body += static_cast<char>(Number >> 8 & 0xFF);
    body += static_cast<char>(Number & 0xFF);
    body += static_cast<char>(Payload.size() & 0xFF);
    body += Payload;
    std::string frame = "{";
    frame += body;
    frame += static_cast<char>(ByteSum(body, true));
    frame += '}';
    return frame;
}

std::string TSoftwareUpdate::BlockOf(int32_t Number) const
{
    const std::string key = std::to_string(Number);
    for (size_t i = 0; i < BlockNumbers.size() && i < BlockData.size(); ++i)
        if (BlockNumbers[i] == key)
            return BlockData[i];
    return std::string(kPageSize, '\xFF');
}

double TSoftwareUpdate::Progress() const
{
    if (!Active || LastServed <= 0)
        return 0.0;
    int64_t c = LastServed;
    if (IsDoubleMap(Blocks))
        c /= 2;
    int64_t total = 0;
    int64_t below = 0;
    int64_t position = 0;
    for (char byte : Blocks) {
        for (int b = 0; b < 8; ++b, ++position) {
            if ((static_cast<uint8_t>(byte) >> b & 1) == 0)
                continue;
            ++total;
            if (position < c)
                ++below;
        }
    }
    if (total == 0)
        return 0.0;
    // Wide transfers run from high block numbers down.
    const int64_t done = Wide ? total - below : below;
    return static_cast<double>(done) * 100.0 / static_cast<double>(total);
}

void TSoftwareUpdate::ResetRequest()
{
    Pending = 0;
    Active = false;
    LastServed = 0;
}

bool TSoftwareUpdate::Restart()
{
    ResetRequest();
    Active = IsReady();
    return Active;
}

bool TSoftwareUpdate::RestartIf(bool Enable)
{
    ResetRequest();
    Active = Enable && IsReady();
    return Active;
}

std::string FindNewestSoftware(const TSoftwareVersionCollection& Collection, int32_t Class, int32_t Hardware,
                               int32_t HardwareRev, int32_t Type, int32_t MinVersion)
{
    std::string title;
    int32_t best = MinVersion;
    for (const TSoftwareVersion* v = Collection.First(); v != nullptr; v = v->Next) {
        const TSoftwareVersionInfo& info = v->Info;
        if (info.Class != Class || info.Hardware != Hardware)
            continue;
        const bool revFits =
            info.HardwareRev.none() || (HardwareRev >= 0 && HardwareRev <= 255 &&
                                        info.HardwareRev.test(static_cast<size_t>(HardwareRev)));
        if (!revFits)
            continue;
        if (Type != 0 && info.Type != Type)
            continue;
        if (info.Version > best) {
            best = info.Version;
            title = info.Title;
        }
    }
    return title;
}
