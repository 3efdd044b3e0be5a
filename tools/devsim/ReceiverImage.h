#pragma once
// What the simulated devices check in a receiver image and in the "GPSz"
// container a unit finds in its EEPROM, and a maker of test images.
//
// Receiver image layout (MediaTek style), all numbers little-endian:
//   offset 16   the image's version text ("AXN_3.8_3333_15043022,3424,MC-GG,1.0"),
//               at most 128 bytes, ending at the first zero byte
//   offset 144  "MTKGPS"
//   offset 244  32-bit length of the whole image, header included
//   offset 328  "AXN"
// This is the layout fwpack writes. A receiver programmed with an image reports
// the image's version text as its new version.
#include <cstdint>
#include <string>

namespace devsim
{

constexpr std::size_t ImageHeaderSize = 448;
constexpr std::size_t ImageMagicOffset = 144;
constexpr std::size_t ImageLengthOffset = 244;
constexpr std::size_t ImageAxnOffset = 328;
constexpr std::size_t ImageVersionOffset = 16;
constexpr std::size_t ImageVersionMax = ImageMagicOffset - ImageVersionOffset;

// The length field at offset 244 (0 when the header is incomplete).
uint32_t ImageDeclaredLength(const std::string& Image);
// The version text at offset 16.
std::string ImageVersionText(const std::string& Image);
// Empty when Image is a complete MediaTek image: header marks, declared length equal
// to the image's size; otherwise what is wrong.
std::string CheckMediaTekImage(const std::string& Image);

// A MediaTek-style image of Length bytes (at least the header) whose version text is
// Version; the rest is seeded filler, half of it compressible.
std::string MakeMediaTekImage(const std::string& Version, std::size_t Length, uint32_t Seed);

// The "GPSz" container, as the tool writes it into the unit's EEPROM.
std::string MakeGpsContainer(const std::string& Image, bool Packed);

// Reads a container that starts at Data[0] (Data may run on past it). Packed: the
// payload is a raw deflate stream of the image. On success Image holds the image and
// the result is empty; otherwise the result says what is wrong. StoredLength gets the
// container's total size when its header could be read.
std::string ReadGpsContainer(const std::string& Data, bool Packed, std::string& Image,
                             std::size_t* ContainerLength = nullptr);

// Inflates a raw deflate stream that must end exactly at the end of Data and yield at
// most Limit bytes. False for anything else.
bool InflateRaw(const std::string& Data, std::size_t Limit, std::string& Out);

uint32_t ReadLE32(const std::string& S, std::size_t At);
void PutLE32(std::string& S, std::size_t At, uint32_t V);

} // namespace devsim
