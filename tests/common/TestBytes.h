#pragma once
// Byte helpers shared by the test folders (no Qt): receiver images made in the
// test, bytes that do not compress, raw inflating to look into what the tool
// packed, and hex text for readable failures.
#include <cstddef>
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

// "0A 1B ...": upper-case hex pairs separated by blanks.
std::string Hex(const std::string& Bytes);
std::string Bytes(std::initializer_list<int> Values);
