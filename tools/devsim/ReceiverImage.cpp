#include "tools/devsim/ReceiverImage.h"

#include "util/DeflateText.h"
#include "util/MyFunctions.h"

#include <algorithm>
#include <random>
#include <zlib.h>

namespace devsim
{

namespace
{

constexpr std::size_t ContainerHeader = 20;

} // namespace

uint32_t ReadLE32(const std::string& S, std::size_t At)
{
    if (At + 4 > S.size())
        return 0;
    uint32_t V = 0;
    for (int i = 3; i >= 0; --i)
        V = (V << 8) | static_cast<uint8_t>(S[At + static_cast<std::size_t>(i)]);
    return V;
}

void PutLE32(std::string& S, std::size_t At, uint32_t V)
{
    if (S.size() < At + 4)
        S.resize(At + 4, '\0');
    for (int i = 0; i < 4; ++i)
        S[At + static_cast<std::size_t>(i)] = static_cast<char>((V >> (8 * i)) & 0xFF);
}

uint32_t ImageDeclaredLength(const std::string& Image)
{
    return ReadLE32(Image, ImageLengthOffset);
}

std::string ImageVersionText(const std::string& Image)
{
    if (Image.size() <= ImageVersionOffset)
        return {};
    std::string Text = Image.substr(ImageVersionOffset, ImageVersionMax);
    const auto Zero = Text.find('\0');
    if (Zero != std::string::npos)
        Text.resize(Zero);
    return Text;
}

std::string CheckMediaTekImage(const std::string& Image)
{
    if (Image.size() < ImageHeaderSize)
        return "image shorter than its " + std::to_string(ImageHeaderSize) + "-byte header (" +
               std::to_string(Image.size()) + " bytes)";
    if (Image.compare(ImageMagicOffset, 6, "MTKGPS") != 0)
        return "no \"MTKGPS\" at offset 144";
    if (Image.compare(ImageAxnOffset, 3, "AXN") != 0)
        return "no \"AXN\" at offset 328";
    const uint32_t Declared = ImageDeclaredLength(Image);
    if (Declared != Image.size())
        return "header declares " + std::to_string(Declared) + " bytes, image has " +
               std::to_string(Image.size());
    return {};
}

std::string MakeMediaTekImage(const std::string& Version, std::size_t Length, uint32_t Seed)
{
    if (Length < ImageHeaderSize)
        Length = ImageHeaderSize;
    std::mt19937 Gen(Seed);
    std::string Image(Length, '\0');
    // Runs of random bytes and runs of a repeated byte, so that some 2048-byte chunks
    // deflate well and others do not.
    std::size_t i = 0;
    while (i < Length) {
        const std::size_t Run = 1024 + Gen() % 3072;
        const bool Random = (Gen() & 1) != 0;
        const char Fill = static_cast<char>(Gen() & 0xFF);
        for (std::size_t k = 0; k < Run && i < Length; ++k, ++i)
            Image[i] = Random ? static_cast<char>(Gen() & 0xFF) : Fill;
    }
    std::fill(Image.begin(), Image.begin() + ImageHeaderSize, '\0');
    Image.replace(ImageMagicOffset, 6, "MTKGPS");
    PutLE32(Image, ImageLengthOffset, static_cast<uint32_t>(Length));
    const std::string Text = Version.substr(0, ImageVersionMax);
    Image.replace(ImageVersionOffset, Text.size(), Text);
    Image.replace(ImageAxnOffset, 3, "AXN");
    return Image;
}

std::string MakeGpsContainer(const std::string& Image, bool Packed)
{
    const std::string Payload = Packed ? DeflateText(Image, true) : Image;
    std::string C = "GPSz";
    PutLE32(C, 4, static_cast<uint32_t>(Payload.size()));
    PutLE32(C, 8, Crc32Words(Payload, 0xFFFFFFFFu));
    PutLE32(C, 12, Packed ? static_cast<uint32_t>(Image.size()) : 0u);
    PutLE32(C, 16, Packed ? Crc32Words(Image, 0xFFFFFFFFu) : 0u);
    return C + Payload;
}

bool InflateRaw(const std::string& Data, std::size_t Limit, std::string& Out)
{
    Out.clear();
    z_stream Z{};
    if (inflateInit2(&Z, -15) != Z_OK)
        return false;
    Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
    Z.avail_in = static_cast<uInt>(Data.size());
    char Buf[16384];
    int R = Z_OK;
    while (R == Z_OK) {
        Z.next_out = reinterpret_cast<Bytef*>(Buf);
        Z.avail_out = sizeof Buf;
        R = inflate(&Z, Z_NO_FLUSH);
        if (R != Z_OK && R != Z_STREAM_END)
            break;
        Out.append(Buf, sizeof Buf - Z.avail_out);
        if (Out.size() > Limit) {
            R = Z_DATA_ERROR;
            break;
        }
        if (R == Z_OK && Z.avail_in == 0 && Z.avail_out != 0) {
            R = Z_BUF_ERROR; // input ended inside the stream
            break;
        }
    }
    const bool Whole = R == Z_STREAM_END && Z.avail_in == 0;
    inflateEnd(&Z);
    if (!Whole)
        Out.clear();
    return Whole;
}

std::string ReadGpsContainer(const std::string& Data, bool Packed, std::string& Image,
                             std::size_t* ContainerLength)
{
    Image.clear();
    if (Data.size() < ContainerHeader)
        return "no room for a container header";
    if (Data.compare(0, 4, "GPSz") != 0)
        return "no \"GPSz\" container at the image address";
    const uint32_t Stored = ReadLE32(Data, 4);
    const uint32_t StoredCrc = ReadLE32(Data, 8);
    const uint32_t Unpacked = ReadLE32(Data, 12);
    const uint32_t UnpackedCrc = ReadLE32(Data, 16);
    if (Stored > Data.size() - ContainerHeader)
        return "container payload of " + std::to_string(Stored) + " bytes runs past the EEPROM";
    if (ContainerLength)
        *ContainerLength = ContainerHeader + Stored;
    const std::string Payload = Data.substr(ContainerHeader, Stored);
    if (Crc32Words(Payload, 0xFFFFFFFFu) != StoredCrc)
        return "container payload CRC mismatch";
    if (!Packed) {
        if (Unpacked != 0 || UnpackedCrc != 0)
            return "plain container expected, found a packed one";
        Image = Payload;
        return {};
    }
    if (Unpacked == 0)
        return "packed container expected, found a plain one";
    std::string Out;
    if (!InflateRaw(Payload, Unpacked, Out))
        return "container payload is not a complete raw deflate stream";
    if (Out.size() != Unpacked)
        return "inflated " + std::to_string(Out.size()) + " bytes, container declares " +
               std::to_string(Unpacked);
    if (Crc32Words(Out, 0xFFFFFFFFu) != UnpackedCrc)
        return "unpacked image CRC mismatch";
    Image = std::move(Out);
    return {};
}

} // namespace devsim
