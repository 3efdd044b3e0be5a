#include "util/DeflateText.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace
{

// Inflates with the given window bits (-15 raw, 15 zlib); false unless the whole input is one stream.
bool Inflate(const std::string& In, int WindowBits, std::string& Out)
{
    z_stream z{};
    if (inflateInit2(&z, WindowBits) != Z_OK)
        return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(In.data()));
    z.avail_in = static_cast<uInt>(In.size());
    Out.clear();
    char Buf[4096];
    int Rc = Z_OK;
    while (Rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(Buf);
        z.avail_out = sizeof Buf;
        Rc = inflate(&z, Z_NO_FLUSH);
        Out.append(Buf, sizeof Buf - z.avail_out);
        if (Rc == Z_BUF_ERROR && z.avail_in == 0)
            break;
    }
    const bool Whole = Rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return Whole;
}

std::string SampleData()
{
    std::string S;
    uint32_t x = 12345;
    for (int i = 0; i < 200000; ++i) {
        x = x * 1103515245u + 12345u;
        // Mix of repetitive and noisy bytes, like a receiver image.
        S += (i % 7 < 4) ? static_cast<char>(i & 0x0F) : static_cast<char>(x >> 24);
    }
    return S;
}

} // namespace

TEST(DeflateText, RawStreamInflatesBack)
{
    for (const std::string& Data : {std::string(), std::string("a"), std::string(5000, '\0'), SampleData()}) {
        const std::string Raw = DeflateText(Data, true);
        std::string Back;
        ASSERT_TRUE(Inflate(Raw, -15, Back)) << "size " << Data.size();
        EXPECT_EQ(Back, Data);
    }
}

TEST(DeflateText, ZlibFormIsHeaderRawAndAdler)
{
    const std::string Data = SampleData();
    const std::string Z = DeflateText(Data, false);
    const std::string Raw = DeflateText(Data, true);
    ASSERT_EQ(Z.size(), Raw.size() + 6);
    // Level 9 with the default window: CMF 78, FLG DA.
    EXPECT_EQ(static_cast<uint8_t>(Z[0]), 0x78);
    EXPECT_EQ(static_cast<uint8_t>(Z[1]), 0xDA);
    EXPECT_EQ(Z.substr(2, Raw.size()), Raw);
    const uLong Adler = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(Data.data()),
                                static_cast<uInt>(Data.size()));
    const std::string Trailer = Z.substr(Z.size() - 4);
    EXPECT_EQ(Trailer, std::string({static_cast<char>(Adler >> 24), static_cast<char>(Adler >> 16),
                                    static_cast<char>(Adler >> 8), static_cast<char>(Adler)}));
    std::string Back;
    ASSERT_TRUE(Inflate(Z, 15, Back));
    EXPECT_EQ(Back, Data);
}

TEST(DeflateText, CompressesAtBestLevel)
{
    const std::string Data = SampleData();
    uLongf Size = compressBound(Data.size());
    std::string Best(Size, '\0');
    ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(Best.data()), &Size,
                        reinterpret_cast<const Bytef*>(Data.data()), Data.size(), 9),
              Z_OK);
    Best.resize(Size);
    EXPECT_EQ(DeflateText(Data, false), Best);
    EXPECT_LT(DeflateText(Data, true).size(), Data.size());
}
