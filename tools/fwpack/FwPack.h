#pragma once
// fwpack: writes every firmware package form the tool reads. The tool itself only
// deciphers; everything here enciphers, through OpenSSL EVP.
//
// All outputs are deterministic: IVs are derived from the content they protect,
// payloads from seeds, and 7z archives are built without timestamps or
// attributes, so the same manifest and keys give the same bytes.
#include <bitset>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// Every failure of fwpack: bad manifest, bad keys, unwritable file, 7z error.
class EPackError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

struct TPackKeys {
    std::string Image; // 16 raw bytes each
    std::string Cfw;
    std::string Efw;
};

// Lines "image=<32 hex>", "cfw=<32 hex>", "efw=<32 hex>"; blank lines and lines
// starting with "#" are skipped. All three are required.
TPackKeys ParseKeys(const std::string& Text);
TPackKeys ReadKeysFile(const std::string& Path);

std::string ReadFileBytes(const std::string& Path);
// Writes through a temporary file and a rename, so a failed run leaves no half file.
void WriteFileBytes(const std::string& Path, const std::string& Data);

// AES-128-CBC. With Pad the plaintext gets count-byte padding (1..16 bytes, each
// holding the count); without it, it must be a whole number of blocks.
std::string AesCbcEncrypt(const std::string& Key, const std::string& IV, const std::string& Plain, bool Pad);
// A 16-byte IV that depends on Purpose and Content only.
std::string DeriveIV(const std::string& Purpose, const std::string& Content);

// Deterministic test and demo firmware: 2048-byte stretches of pseudo-random
// bytes, of compressible text, and of both halves, so that some chunks shrink
// under deflate and some do not.
std::string GeneratePayload(size_t Size, uint64_t Seed);

// MediaTek receiver image layout.
constexpr size_t kMtkHeaderSize = 448;
constexpr size_t kMtkMagicOffset = 144;  // "MTKGPS"
constexpr size_t kMtkLengthOffset = 244; // image length, little-endian 32-bit
constexpr size_t kMtkAxnOffset = 328;    // "AXN"
// Puts the MediaTek header over the first 448 bytes of Image (which must be at
// least that long): zeros, the version text at 16 (at most 128 bytes), the
// magic texts and the image length.
std::string StampMtkHeader(std::string Image, const std::string& VersionText);

// A generated controller firmware names its own version at its start, as a
// real one carries it compiled in: "VELTRAC FW 2.03" and a zero byte (version
// 203). The simulated module reports the version of the firmware it received
// from there.
std::string StampFirmwareVersion(std::string Body, uint16_t Version);

// One unit firmware version as fwpack writes it.
struct TPackVersion {
    std::string Title;
    uint16_t Type = 0;
    uint16_t Version = 0;
    uint8_t Class = 0;
    int32_t Hardware = 0;
    std::bitset<256> HardwareRev;
    int32_t HardwareID = 0;
    bool Wide = false;
    std::string Map;
    std::vector<std::pair<int32_t, std::string>> Blocks; // ascending block numbers

    // CRC-16 (0x1021, from 0xFFFF) over the map and every mapped block.
    uint16_t Checksum() const;
};

// Cuts Body into 256-byte blocks numbered from FirstBlock (the last one filled
// up with 0xFF) and builds a map of MapLength bytes; a double map starts 07 E3
// and names blocks in pairs. Raises EPackError when the blocks do not fit.
void CutBlocks(TPackVersion& Version, const std::string& Body, int32_t FirstBlock, size_t MapLength,
               bool DoubleMap);

// One INI section; block values as upper-case hex. WithCrc false leaves the
// CRC key out (the reader then computes it).
std::string WriteIniSection(const TPackVersion& Version, const std::string& Section, bool WithCrc = true);
// The revisions of a set as "1,2,5" (empty for the empty set).
std::string RevisionList(const std::bitset<256>& Revisions);
// "QVD_FW_v01": identity block 0xFFFF, map block 0xFFFE (with the hardware id)
// or 0xFFFD, the data records, AES-128-CBC under the EFW key. Raises EPackError
// for what the container cannot hold (narrow layout, map not 64 or 128 bytes,
// hardware above 255, version 0xFFFF, a revision set it cannot express).
std::string WriteEfw(const TPackVersion& Version, const std::string& EfwKey);
// The plaintext records alone (before enciphering), for tests.
std::string EfwRecords(const TPackVersion& Version);
// Wraps an encrypted payload into the container layout.
std::string EfwContainer(const std::string& Title, uint8_t MapCode, const std::string& IV,
                         const std::string& Cipher);
// "QVD_CFW_v01": the archive under the CFW key, count-byte padded.
std::string WriteCfw(const std::string& Archive, const std::string& CfwKey);
// "gps_fw": IV, then AES-128-CBC under the image key of Label "|" Archive, count-byte padded.
std::string WriteFirmwareImage(const std::string& Label, const std::string& Archive,
                               const std::string& ImageKey);

// A 7z archive of the items, in the order given, built by the 7z program
// without timestamps or attributes. Item names are plain file names.
struct TArchiveItem {
    std::string Name;
    std::string Data;
};
std::string BuildSevenZip(const std::vector<TArchiveItem>& Items, const std::string& SevenZipProgram = "7z");

// Everything one manifest produces.
struct TPackResult {
    std::string Label;
    std::vector<TArchiveItem> Items; // archive items, in archive order
    std::string Archive;             // the 7z archive of Items
    std::string GpsFw;               // enciphered image
    std::string EgpsFw;              // controller container; empty without a module section
    std::string Expected;            // INI text describing all of it, for tests
    std::vector<std::string> Inputs; // payload files read (for build dependencies)
};

// Reads a manifest (see fwpack --help); relative payload paths are taken from
// BaseDir. Raises EPackError naming the section and key at fault.
TPackResult BuildFromManifest(const std::string& ManifestText, const std::string& BaseDir,
                              const TPackKeys& Keys, const std::string& SevenZipProgram = "7z");

// The manifest format, as printed by fwpack --help.
extern const char* const kManifestHelp;
