#pragma once
// Shared by the application tests: receiver images made in the test, and raw
// inflating to look into what the tool packed.
#include <cstdint>
#include <initializer_list>
#include <string>

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
