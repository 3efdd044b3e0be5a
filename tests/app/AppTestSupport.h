#pragma once
// Shared by the application tests: receiver images made in the test, and raw
// inflating to look into what the tool packed.
#include <cstdint>
#include <initializer_list>
#include <string>

// Receiver versions of the demo package: an older MC-1513 than the tool
// carries, the MC-1513 image it carries, and its current MC-GG image.
inline const std::string Old1513 = "AXN_3.0_1513_10000000,1500,MC-1513,0.9";
inline const std::string New1513 = "AXN_3.8_1513_16022600,1513,MC-1513,1.0";
inline const std::string CurrentGG = "AXN_5.1.9_3333_23110100,5110,MC-GG,1.1";

// A MediaTek-style receiver image of Size bytes (at least 448): the header
// marks at 144 and 328, FirmwareLength at 244, the rest a pattern from Seed.
std::string MakeMediaTekImage(std::size_t Size, uint32_t FirmwareLength, uint32_t Seed = 1);

// Bytes that do not compress (deterministic from Seed).
std::string NoiseBytes(std::size_t Size, uint32_t Seed);

// Inflates a raw deflate stream; throws std::runtime_error when it is not one.
std::string InflateRaw(const std::string& Data);

// Writes Data to a new file under the system's temporary folder and returns its path.
std::string WriteTempFile(const std::string& Name, const std::string& Data);

std::string Hex(const std::string& Bytes);
std::string Bytes(std::initializer_list<int> Values);
