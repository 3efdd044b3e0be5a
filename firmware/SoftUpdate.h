#pragma once
// Firmware versions, the packages they come in, and the block feed by which a
// device pulls one version.
//
// A version is a firmware image cut into blocks of at most 256 bytes, with an
// identity, a block map and a CRC-16 over map and mapped blocks. Map bit b of
// map byte k stands for block 8k + b; a map starting 07 E3 is a double map, in
// which that bit stands for blocks 2(8k + b) and 2(8k + b) + 1. The first two map
// bytes never take part in the checksum.
//
// Package forms: INI text (".ini"), the single-version container "QVD_FW_v01"
// (".efw"), the enciphered 7z archive "QVD_CFW_v01" (".cfw"), and 7z archives
// holding any of them. Loading never raises; every loader returns how many
// versions it added.
#include <bitset>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class IArchiveReader;
class TMemIniFile;

struct TSoftwareVersionInfo {
    std::string Title;
    uint16_t Type = 0;
    uint16_t Version = 0; // higher is newer
    uint8_t Class = 0;    // compared with a tracking unit's unit-type code
    int32_t Hardware = 0;
    std::bitset<256> HardwareRev; // empty: fits every revision
    int32_t HardwareID = 0;       // 0: none
};

struct TSoftwareVersion {
    TSoftwareVersionInfo Info;
    bool Wide = false;                     // 16-bit block numbers
    std::string Blocks;                    // block map
    std::vector<std::string> BlockNumbers; // decimal text, in the order first stored
    std::vector<std::string> BlockData;    // same index as BlockNumbers, at most 256 bytes each
    int32_t CRC = -1;                      // -1: none given
    TSoftwareVersion* Next = nullptr;      // owned by the collection holding the version
};

// Map and block helpers shared by the collection and the block feed.
void InitVersion(TSoftwareVersion& Version);
void FreeBlockLists(TSoftwareVersion& Version);
bool IsDoubleMap(const std::string& Blocks);
// Highest block number the map can name: 8 x length - 1, or 16 x length - 1 for a double map.
int32_t HighestMappedBlock(const std::string& Blocks);
// Stored content of block N, or 256 bytes of 0xFF when it is not stored.
std::string BlockOf(const TSoftwareVersion& Version, int32_t N);
// Stores Value (raw bytes, or hex text when Text) as block N, cut to 256 bytes;
// replaces the block when it is stored already.
void SetBlock(TSoftwareVersion& Version, int32_t N, bool Text, const std::string& Value);
// Hex-decodes map or block text without blanks; a pair that is not hex gives 0x00.
std::string DecodeHexText(const std::string& HexText);

class TSoftwareVersionCollection
{
  public:
    // Sender, Position (from 1), Count.
    using TProgressEvent =
        std::function<void(TSoftwareVersionCollection* Sender, int32_t Position, int32_t Count)>;

    TSoftwareVersionCollection() = default;
    ~TSoftwareVersionCollection();
    TSoftwareVersionCollection(const TSoftwareVersionCollection&) = delete;
    TSoftwareVersionCollection& operator=(const TSoftwareVersionCollection&) = delete;

    void Clear();
    // Copies Version (lists included) in front of the list; its Next is ignored.
    void AddVersion(const TSoftwareVersion& Version);

    TSoftwareVersion* First() const { return FFirst; }
    int32_t Count() const { return FCount; }

    // Index 0 is the version added last; a negative Index gives the first; none past the end.
    const TSoftwareVersion* GetVersion(int32_t Index) const;
    // Empty record when there is no such version.
    void GetVersionInfo(int32_t Index, TSoftwareVersionInfo& Info) const;
    // Case-sensitive; with equal titles the earliest added wins; -1 when none.
    int32_t IndexOfTitle(const std::string& Title) const;

    int32_t LoadFromEfw(const std::string& Data);
    int32_t LoadFromCfw(const std::string& Data);
    int32_t LoadFromIniText(const std::string& Text);
    // Archive holds the bytes of a 7z archive (read from its start). Items that
    // are folders, not packages, larger than MaxArchiveItem or damaged add nothing.
    int32_t LoadFromArchive(const std::string& Archive);
    // The same from an archive already open in Reader, which stays open. Why
    // the archive could not be listed, or an item gave nothing, is added to
    // Problems when given ("<item>: <reason>").
    int32_t LoadFromOpenArchive(IArchiveReader& Reader, std::vector<std::string>* Problems = nullptr);
    // ".ini", ".efw", ".cfw" (any case); any other extension adds nothing.
    int32_t LoadFromData(const std::string& Data, const std::string& Ext);

    static uint16_t CalcChecksum(const TSoftwareVersion& Version);

    // No firmware package comes near this; a larger item is a decompression bomb.
    static constexpr uint64_t MaxArchiveItem = 64u << 20;

    TProgressEvent OnProgress;

  private:
    int32_t LoadArchiveItems(IArchiveReader& Reader, std::vector<std::string>* Problems);
    int32_t LoadIni(const TMemIniFile& Ini);
    bool LoadIniSection(const TMemIniFile& Ini, const std::string& Section);

    TSoftwareVersion* FFirst = nullptr;
    int32_t FCount = 0;
    // Archives inside containers inside archives: how deep the current load is.
    int32_t FNesting = 0;
};

// One selected version and the server of the block-request protocol: a device
// sends "{" block-number "}" and gets the block framed back.
class TSoftwareUpdate
{
  public:
    TSoftwareUpdate();

    int32_t MaxBlock = 0;   // highest data block number answered
    int32_t InfoBlock = -1; // asks for map, CRC and hardware id; -1 = none
    int32_t MapBlock = -1;  // asks for the map alone; -1 = none
    int32_t EndBlock = 0;   // ends the transfer
    bool Wide = false;      // two-byte block numbers, high byte first
    std::string Blocks;
    std::vector<std::string> BlockNumbers;
    std::vector<std::string> BlockData;
    int32_t Pending = 0;               // request bytes still expected after "{"
    int32_t Requested = 0;             // block number of the last complete request
    int32_t LastServed = 0;            // block number last answered; 0 when idle
    bool Active = false;               // a transfer is in progress
    uint8_t History[4] = {0, 0, 0, 0}; // last four received bytes, oldest first
    std::string Title;
    uint16_t Type = 0;
    uint16_t Version = 0;
    int32_t CRC = -1;
    uint8_t Class = 0;
    int32_t Hardware = 0;
    std::bitset<256> HardwareRev;
    int32_t HardwareID = 0;

    // Forgets the version; the layout stays.
    void Clear();
    bool IsReady() const;
    void SetWide(bool AWide);
    void SetBlockMap(const std::string& HexText);
    bool SelectIndex(const TSoftwareVersionCollection& Collection, int32_t Index);
    // "*" selects index 0 (the version added last). False, with nothing changed,
    // for an empty collection or an unknown title.
    bool Select(const TSoftwareVersionCollection& Collection, const std::string& ATitle);

    // 0: not update traffic; 1: part of a request; 2: request complete.
    int ParseChar(uint8_t Ch);
    void BuildReply(std::string& Reply);
    void ProcessChar(uint8_t Ch, std::string& Reply);
    std::string MakeFrame(int32_t Number, const std::string& Payload) const;
    std::string BlockOf(int32_t Number) const;
    // Percent of the map's blocks served, from LastServed.
    double Progress() const;

    void ResetRequest();
    bool Restart();
    bool RestartIf(bool Enable);
};

// Title of the highest version above MinVersion that fits the device; among
// equal versions the one added last wins; empty when none fits. HardwareRev
// outside 0..255 fits only versions with an empty revision set; Type 0 fits any.
std::string FindNewestSoftware(const TSoftwareVersionCollection& Collection, int32_t Class, int32_t Hardware,
                               int32_t HardwareRev, int32_t Type, int32_t MinVersion);
