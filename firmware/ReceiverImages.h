#pragma once
// Receiver images: choosing one for a reported version text, packing it into
// the tracking unit's EEPROM write records, and checking and cutting it into
// the External GPS module's transfer blocks.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What an unreadable receiver is assumed to run (forced recovery).
inline const std::string RecoveryVersionText = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";

// "MC-GLA" receivers take the "MC-GG" image; the "MT33-1." prefix is not part of the type.
std::string ApplyModuleTypeAliases(const std::string& Version);

// The last "AXN" item whose field 2 (comma-separated) equals that of Version.
std::string FindAXNImage(const std::vector<std::string>& Images, const std::string& Version);
// The last "EVA" item, only for a version text ending in "+F".
std::string FindEVAImage(const std::vector<std::string>& Images, const std::string& Version);

// True when the last path component's extension is ".bin" in any letter case.
bool IsReceiverImageName(const std::string& Path);

// Data bytes per EEPROM write: the unit's frame limit less the 4 address
// bytes; units with a type code get at most 190 because they cannot take more.
int UnitChunkSize(uint8_t MaxLength, uint16_t HexType);

// "GPSz" container, little-endian: magic, stored length, CRC of the stored
// payload, then (packed) the image length and CRC, then the payload.
std::string GPSzContainer(const std::string& Image, bool Packed);

// One record per write: decimal address, blank, spaced hex data.
std::vector<std::string> UnitRecords(const std::string& Data, int32_t Address, int ChunkSize);

// Receiver images are MediaTek images: a 448-byte header with "MTKGPS" at 144
// and "AXN" at 328, the firmware length (32-bit little-endian) at 244.
constexpr std::size_t MediaTekHeaderSize = 448;
constexpr std::size_t ModuleChunkSize = 2048;

enum class TMediaTekCheck { Ok, TooShort, NotMediaTek };
TMediaTekCheck CheckMediaTekImage(const std::string& Image);

// Block 0 ("R" + 256-byte page count, high byte first), then one block per
// 2048-byte chunk: "S" index chunk, or "T" index raw-deflated chunk when that
// is not longer. Only for images that pass CheckMediaTekImage.
std::vector<std::string> ModuleTransferBlocks(const std::string& Image);
