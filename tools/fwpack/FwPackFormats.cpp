#include "tools/fwpack/FwPack.h"

#include "util/MyConvert.h"
#include "util/MyFunctions.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace
{

constexpr size_t kPage = 256;

std::string Trim(const std::string& S)
{
    const size_t b = S.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    return S.substr(b, S.find_last_not_of(" \t\r\n") - b + 1);
}

std::string ParseKeyHex(const std::string& Name, const std::string& Hex)
{
    if (Hex.size() != 32)
        throw EPackError("keys: " + Name + " must be 32 hex digits (16 bytes), got " +
                         std::to_string(Hex.size()) + " characters");
    for (char c : Hex)
        if (HexDigitValue(c) > 15)
            throw EPackError("keys: " + Name + " holds a character that is not a hex digit");
    return HexToBytes(Hex, false);
}

struct TCipherCtx {
    EVP_CIPHER_CTX* Ctx = EVP_CIPHER_CTX_new();
    ~TCipherCtx() { EVP_CIPHER_CTX_free(Ctx); }
};

uint64_t SplitMix(uint64_t& State)
{
    uint64_t z = (State += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void AppendRandom(std::string& Out, size_t Count, uint64_t& State)
{
    while (Count > 0) {
        uint64_t r = SplitMix(State);
        for (int i = 0; i < 8 && Count > 0; ++i, --Count) {
            Out += static_cast<char>(r & 0xFF);
            r >>= 8;
        }
    }
}

void AppendText(std::string& Out, size_t Count, uint64_t Chunk)
{
    char line[64];
    size_t i = 0;
    while (Count > 0) {
        const int n = std::snprintf(line, sizeof line, "VELTRAC DEMO FIRMWARE %08llX line %04zu\n",
                                    static_cast<unsigned long long>(Chunk), i++);
        const size_t take = std::min(Count, static_cast<size_t>(n));
        Out.append(line, take);
        Count -= take;
    }
}

void Put16(std::string& S, uint32_t V)
{
    S += static_cast<char>(V >> 8 & 0xFF);
    S += static_cast<char>(V & 0xFF);
}

void AddRecord(std::string& Out, uint32_t Address, const std::string& Data)
{
    Out += static_cast<char>(Address >> 16 & 0xFF);
    Out += static_cast<char>(Address >> 8 & 0xFF);
    Out += static_cast<char>(Address & 0xFF);
    Out += static_cast<char>(Data.size());
    Out += Data;
}

} // namespace

// ---------------------------------------------------------------------------
// Keys and files

TPackKeys ParseKeys(const std::string& Text)
{
    TPackKeys keys;
    std::istringstream in(Text);
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            throw EPackError("keys: line without \"=\": " + line);
        const std::string name = LowerText(Trim(line.substr(0, eq)));
        const std::string value = Trim(line.substr(eq + 1));
        if (name == "image")
            keys.Image = ParseKeyHex(name, value);
        else if (name == "cfw")
            keys.Cfw = ParseKeyHex(name, value);
        else if (name == "efw")
            keys.Efw = ParseKeyHex(name, value);
        else
            throw EPackError("keys: unknown key \"" + name + "\" (expected image, cfw, efw)");
    }
    if (keys.Image.empty() || keys.Cfw.empty() || keys.Efw.empty())
        throw EPackError("keys: image, cfw and efw must all be given");
    return keys;
}

TPackKeys ReadKeysFile(const std::string& Path)
{
    try {
        return ParseKeys(ReadFileBytes(Path));
    } catch (const EPackError& e) {
        throw EPackError(Path + ": " + e.what());
    }
}

std::string ReadFileBytes(const std::string& Path)
{
    std::ifstream in(Path, std::ios::binary);
    if (!in)
        throw EPackError("cannot read " + Path + ": " + std::strerror(errno));
    std::ostringstream data;
    data << in.rdbuf();
    if (in.bad())
        throw EPackError("cannot read " + Path);
    return data.str();
}

void WriteFileBytes(const std::string& Path, const std::string& Data)
{
    const std::string temp = Path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            throw EPackError("cannot write " + temp + ": " + std::strerror(errno));
        out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
        out.close();
        if (!out) {
            std::remove(temp.c_str());
            throw EPackError("cannot write " + temp);
        }
    }
    if (std::rename(temp.c_str(), Path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        std::remove(temp.c_str());
        throw EPackError("cannot write " + Path + ": " + why);
    }
}

// ---------------------------------------------------------------------------
// Cipher

std::string AesCbcEncrypt(const std::string& Key, const std::string& IV, const std::string& Plain, bool Pad)
{
    if (Key.size() != 16 || IV.size() != 16)
        throw EPackError("AES-128 needs a 16-byte key and IV");
    if (!Pad && Plain.size() % 16 != 0)
        throw EPackError("unpadded AES data must be a whole number of 16-byte blocks");
    TCipherCtx c;
    std::string out(Plain.size() + 16, '\0');
    int len1 = 0;
    int len2 = 0;
    // EVP's own padding is the count-byte padding the tool removes.
    if (c.Ctx == nullptr ||
        EVP_EncryptInit_ex(c.Ctx, EVP_aes_128_cbc(), nullptr,
                           reinterpret_cast<const unsigned char*>(Key.data()),
                           reinterpret_cast<const unsigned char*>(IV.data())) != 1 ||
        EVP_CIPHER_CTX_set_padding(c.Ctx, Pad ? 1 : 0) != 1 ||
        EVP_EncryptUpdate(c.Ctx, reinterpret_cast<unsigned char*>(out.data()), &len1,
                          reinterpret_cast<const unsigned char*>(Plain.data()),
                          static_cast<int>(Plain.size())) != 1 ||
        EVP_EncryptFinal_ex(c.Ctx, reinterpret_cast<unsigned char*>(out.data()) + len1, &len2) != 1)
        throw EPackError("AES encryption failed");
    out.resize(static_cast<size_t>(len1 + len2));
    return out;
}

std::string DeriveIV(const std::string& Purpose, const std::string& Content)
{
    const std::string input = Purpose + '\0' + Content;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(input.data(), input.size(), digest, &len, EVP_sha256(), nullptr) != 1 || len < 16)
        throw EPackError("SHA-256 failed");
    return std::string(reinterpret_cast<const char*>(digest), 16);
}

// ---------------------------------------------------------------------------
// Payloads and receiver images

std::string GeneratePayload(size_t Size, uint64_t Seed)
{
    constexpr size_t kChunk = 2048;
    uint64_t state = Seed;
    std::string out;
    out.reserve(Size + kChunk);
    for (uint64_t chunk = 0; out.size() < Size; ++chunk) {
        // Chunks 1 and 2 are fixed so that even a short payload holds both kinds.
        const uint64_t kind = chunk == 1 ? 0 : chunk == 2 ? 1 : SplitMix(state) % 3;
        if (kind == 0) {
            AppendRandom(out, kChunk, state);
        } else if (kind == 1) {
            AppendText(out, kChunk, Seed ^ chunk);
        } else {
            AppendRandom(out, kChunk / 2, state);
            AppendText(out, kChunk / 2, Seed ^ chunk);
        }
    }
    out.resize(Size);
    return out;
}

std::string StampMtkHeader(std::string Image, const std::string& VersionText)
{
    if (Image.size() < kMtkHeaderSize)
        throw EPackError("a MediaTek image needs at least 448 bytes");
    if (Image.size() > 0xFFFFFFFFu)
        throw EPackError("image too large for a MediaTek header");
    std::fill(Image.begin(), Image.begin() + kMtkHeaderSize, '\0');
    Image.replace(16, std::min<size_t>(VersionText.size(), 128), VersionText.substr(0, 128));
    Image.replace(kMtkMagicOffset, 6, "MTKGPS");
    Image.replace(kMtkLengthOffset, 4, IntToRawBytes(static_cast<uint32_t>(Image.size()), 4));
    Image.replace(kMtkAxnOffset, 3, "AXN");
    return Image;
}

std::string StampFirmwareVersion(std::string Body, uint16_t Version)
{
    char Text[32];
    const int N = std::snprintf(Text, sizeof Text, "VELTRAC FW %u.%02u", Version / 100u, Version % 100u);
    const std::string Stamp(Text, static_cast<size_t>(N) + 1); // with its zero byte
    if (Body.size() < Stamp.size())
        return Body;
    Body.replace(0, Stamp.size(), Stamp);
    return Body;
}

// ---------------------------------------------------------------------------
// Versions

uint16_t TPackVersion::Checksum() const
{
    std::map<int64_t, const std::string*> stored;
    for (const auto& [n, data] : Blocks)
        stored.emplace(n, &data);
    const std::string erased(kPage, '\xFF');
    auto block = [&](int64_t n) -> const std::string& {
        auto it = stored.find(n);
        return it == stored.end() ? erased : *it->second;
    };
    const bool doubleMap =
        Map.size() >= 2 && static_cast<uint8_t>(Map[0]) == 0x07 && static_cast<uint8_t>(Map[1]) == 0xE3;
    uint16_t crc = Crc16Text(0xFFFF, Map);
    for (size_t k = 2; k < Map.size(); ++k)
        for (int b = 0; b < 8; ++b)
            if (static_cast<uint8_t>(Map[k]) >> b & 1) {
                const int64_t n = static_cast<int64_t>(8 * k) + b;
                if (doubleMap) {
                    crc = Crc16Text(crc, block(2 * n));
                    crc = Crc16Text(crc, block(2 * n + 1));
                } else {
                    crc = Crc16Text(crc, block(n));
                }
            }
    return crc;
}

void CutBlocks(TPackVersion& Version, const std::string& Body, int32_t FirstBlock, size_t MapLength,
               bool DoubleMap)
{
    if (Body.empty())
        throw EPackError("the firmware body is empty");
    // Map bytes 0 and 1 are outside the checksum: data there would go unchecked.
    const int32_t lowest = DoubleMap ? 32 : 16;
    if (FirstBlock < lowest)
        throw EPackError("first_block must be at least " + std::to_string(lowest));
    if (DoubleMap && FirstBlock % 2 != 0)
        throw EPackError("first_block must be even with a double map");
    const size_t count = (Body.size() + kPage - 1) / kPage;
    const int64_t last = FirstBlock + static_cast<int64_t>(count) - 1;
    const int64_t capacity = static_cast<int64_t>(MapLength) * 8 * (DoubleMap ? 2 : 1);
    if (last >= capacity)
        throw EPackError("the firmware needs blocks up to " + std::to_string(last) + ", but a map of " +
                         std::to_string(MapLength) + " bytes names blocks below " + std::to_string(capacity));
    if (!Version.Wide && last > 255)
        throw EPackError("8-bit block numbers end at 255; the firmware needs up to " + std::to_string(last));
    if (Version.Wide && last >= 0xFFFD)
        throw EPackError("block numbers from 0xFFFD on are reserved");

    Version.Map.assign(MapLength, '\0');
    if (DoubleMap) {
        Version.Map[0] = '\x07';
        Version.Map[1] = '\xE3';
    }
    Version.Blocks.clear();
    for (size_t i = 0; i < count; ++i) {
        const int32_t n = FirstBlock + static_cast<int32_t>(i);
        std::string data = Body.substr(i * kPage, kPage);
        data.resize(kPage, '\xFF');
        Version.Blocks.emplace_back(n, std::move(data));
        const int32_t bit = DoubleMap ? n / 2 : n;
        Version.Map[static_cast<size_t>(bit / 8)] =
            static_cast<char>(Version.Map[static_cast<size_t>(bit / 8)] | 1 << (bit % 8));
    }
}

std::string RevisionList(const std::bitset<256>& Revisions)
{
    std::string List;
    for (size_t r = 0; r < Revisions.size(); ++r)
        if (Revisions.test(r)) {
            if (!List.empty())
                List += ',';
            List += std::to_string(r);
        }
    return List;
}

std::string WriteIniSection(const TPackVersion& Version, const std::string& Section, bool WithCrc)
{
    const std::string revs = RevisionList(Version.HardwareRev);
    std::ostringstream s;
    s << "[" << Section << "]\r\n"
      << "Title=" << Version.Title << "\r\n"
      << "Type=" << Version.Type << "\r\n"
      << "Version=" << Version.Version << "\r\n"
      << "Class=" << static_cast<int>(Version.Class) << "\r\n"
      << "Hardware=" << Version.Hardware << "\r\n"
      << "HardwareRev=" << revs << "\r\n"
      << "HardwareID=" << Version.HardwareID << "\r\n"
      << "AddressWidth=" << (Version.Wide ? 16 : 8) << "\r\n"
      << "Blocks=" << BytesToHex(Version.Map, false) << "\r\n";
    if (WithCrc) {
        char crc[8];
        std::snprintf(crc, sizeof crc, "%04X", Version.Checksum());
        s << "CRC=" << crc << "\r\n";
    }
    for (const auto& [n, data] : Version.Blocks)
        s << n << "=" << BytesToHex(data, false) << "\r\n";
    s << "\r\n";
    return s.str();
}

std::string EfwRecords(const TPackVersion& Version)
{
    if (!Version.Wide)
        throw EPackError("a QVD_FW_v01 container always has 16-bit block numbers (address_width 16)");
    const size_t L = Version.Map.size();
    if (L != 64 && L != 128)
        throw EPackError("a QVD_FW_v01 map is 64 or 128 bytes, not " + std::to_string(L));
    if (Version.Hardware < 0 || Version.Hardware > 255)
        throw EPackError("a QVD_FW_v01 container holds hardware 0..255 only");
    if (Version.Version == 0xFFFF)
        throw EPackError("a QVD_FW_v01 container reads version 65535 as 0");
    if (Version.HardwareID < 0 || Version.HardwareID > 0xFFFF)
        throw EPackError("a QVD_FW_v01 container holds a hardware id of 16 bits only");
    if (Version.Title.find('\0') != std::string::npos)
        throw EPackError("a QVD_FW_v01 title cannot hold a zero byte");

    // Revisions: byte 2 names one revision anywhere in 0..255, the bitmap adds any of
    // 1..128 (a clear bit lists one), so the set is never empty.
    int first = -1;
    int outside = 0;
    for (int r = 0; r < 256; ++r)
        if (Version.HardwareRev.test(static_cast<size_t>(r))) {
            if (r < 1 || r > 128) {
                first = r;
                ++outside;
            } else if (first < 0) {
                first = r;
            }
        }
    if (first < 0)
        throw EPackError("a QVD_FW_v01 container cannot hold an empty revision set (use an .ini package)");
    if (outside > 1)
        throw EPackError("a QVD_FW_v01 container holds at most one revision outside 1..128");
    std::string identity(24, '\xFF');
    identity[0] = static_cast<char>(Version.Class);
    identity[1] = static_cast<char>(Version.Hardware);
    identity[2] = static_cast<char>(first);
    identity[3] = static_cast<char>(Version.Type >> 8);
    identity[4] = static_cast<char>(Version.Type & 0xFF);
    identity[5] = static_cast<char>(Version.Version >> 8);
    identity[6] = static_cast<char>(Version.Version & 0xFF);
    for (int r = 1; r <= 128; ++r)
        if (Version.HardwareRev.test(static_cast<size_t>(r)))
            identity[static_cast<size_t>(7 + r / 8)] =
                static_cast<char>(identity[static_cast<size_t>(7 + r / 8)] & ~(1 << (r % 8)));

    std::string map = Version.Map;
    Put16(map, Version.Checksum());
    const bool withId = Version.HardwareID > 0;
    if (withId)
        Put16(map, static_cast<uint32_t>(Version.HardwareID));

    std::string out;
    AddRecord(out, 0xFFFF00, identity);
    AddRecord(out, withId ? 0xFFFE00 : 0xFFFD00, map);
    uint32_t last = withId ? 0xFFFE00 : 0xFFFD00;
    for (const auto& [n, data] : Version.Blocks) {
        if (n < 0 || n >= 0xFFFD)
            throw EPackError("block " + std::to_string(n) + " cannot be stored in a QVD_FW_v01 container");
        const auto base = static_cast<uint32_t>(n) << 8;
        for (size_t off = 0; off < data.size() && off < kPage; off += 128)
            AddRecord(out, base + static_cast<uint32_t>(off), data.substr(off, 128));
        last = base;
    }
    // Fill to whole cipher blocks with empty records of the last block (they change
    // nothing) and a rest of at most 4 bytes, which the reader skips.
    while (out.size() % 16 != 0) {
        if (16 - out.size() % 16 > 4)
            AddRecord(out, last, "");
        else
            out.append(16 - out.size() % 16, '\xFF');
    }
    return out;
}

std::string EfwContainer(const std::string& Title, uint8_t MapCode, const std::string& IV,
                         const std::string& Cipher)
{
    std::string out = "QVD_FW_v01";
    out += static_cast<char>(MapCode);
    out += '\0';
    out += Title;
    out += '\0';
    out += IV;
    out += Cipher;
    return out;
}

std::string WriteEfw(const TPackVersion& Version, const std::string& EfwKey)
{
    const std::string records = EfwRecords(Version);
    const std::string iv = DeriveIV("QVD_FW_v01", Version.Title + '\0' + records);
    return EfwContainer(Version.Title, static_cast<uint8_t>(Version.Map.size() / 16), iv,
                        AesCbcEncrypt(EfwKey, iv, records, false));
}

std::string WriteCfw(const std::string& Archive, const std::string& CfwKey)
{
    const std::string iv = DeriveIV("QVD_CFW_v01", Archive);
    const std::string cipher = AesCbcEncrypt(CfwKey, iv, Archive, true);
    // The reader takes 100 cipher bytes or fewer for damage.
    if (cipher.size() <= 100)
        throw EPackError("the archive is too small for a QVD_CFW_v01 container");
    return "QVD_CFW_v01" + iv + cipher;
}

std::string WriteFirmwareImage(const std::string& Label, const std::string& Archive,
                               const std::string& ImageKey)
{
    if (Label.find('|') != std::string::npos)
        throw EPackError("the label cannot hold \"|\"");
    const std::string plain = Label + "|" + Archive;
    const std::string iv = DeriveIV("gps_fw", plain);
    return iv + AesCbcEncrypt(ImageKey, iv, plain, true);
}
