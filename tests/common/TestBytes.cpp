#include "tests/common/TestBytes.h"

#include <stdexcept>
#include <zlib.h>

std::string NoiseBytes(std::size_t Size, uint32_t Seed)
{
    std::string S(Size, '\0');
    uint32_t X = Seed * 2654435761u + 12345u;
    for (auto& C : S) {
        X ^= X << 13;
        X ^= X >> 17;
        X ^= X << 5;
        C = static_cast<char>(X >> 24);
    }
    return S;
}

std::string MakeMediaTekImage(std::size_t Size, uint32_t FirmwareLength, uint32_t Seed)
{
    std::string Image = NoiseBytes(Size, Seed);
    Image.replace(144, 6, "MTKGPS");
    Image.replace(328, 3, "AXN");
    for (int i = 0; i < 4; ++i)
        Image[244 + i] = static_cast<char>((FirmwareLength >> (8 * i)) & 0xFF);
    return Image;
}

std::string InflateRaw(const std::string& Data)
{
    z_stream Z{};
    if (inflateInit2(&Z, -15) != Z_OK)
        throw std::runtime_error("inflateInit2");
    std::string Out;
    Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
    Z.avail_in = static_cast<uInt>(Data.size());
    char Buf[4096];
    int Rc;
    do {
        Z.next_out = reinterpret_cast<Bytef*>(Buf);
        Z.avail_out = sizeof Buf;
        Rc = inflate(&Z, Z_NO_FLUSH);
        if (Rc != Z_OK && Rc != Z_STREAM_END) {
            inflateEnd(&Z);
            throw std::runtime_error("not a raw deflate stream");
        }
        Out.append(Buf, sizeof Buf - Z.avail_out);
    } while (Rc != Z_STREAM_END && (Z.avail_in > 0 || Z.avail_out == 0));
    inflateEnd(&Z);
    if (Rc != Z_STREAM_END)
        throw std::runtime_error("truncated deflate stream");
    return Out;
}

std::string Hex(const std::string& Bytes)
{
    static const char* Digits = "0123456789ABCDEF";
    std::string S;
    for (unsigned char C : Bytes) {
        if (!S.empty())
            S += ' ';
        S += Digits[C >> 4];
        S += Digits[C & 15];
    }
    return S;
}

std::string Bytes(std::initializer_list<int> Values)
{
    std::string S;
    for (int V : Values)
        S += static_cast<char>(V);
    return S;
}
