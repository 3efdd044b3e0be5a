// What the simulated devices accept as a receiver image and as a "GPSz" container.
#include "DevsimTest.h"
#include "tools/devsim/ReceiverImage.h"
#include "tools/fwpack/FwPack.h"
#include "util/DeflateText.h"
#include "util/MyFunctions.h"

#include <gtest/gtest.h>

using namespace devsim;

namespace
{

const std::string Version = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";

} // namespace

TEST(ReceiverImage, MadeImageCarriesMarksLengthAndVersion)
{
    const std::string I = MakeMediaTekImage(Version, 5000, 7);
    ASSERT_EQ(I.size(), 5000u);
    EXPECT_EQ(I.substr(144, 6), "MTKGPS");
    EXPECT_EQ(I.substr(16, Version.size()), Version);
    EXPECT_EQ(I[16 + Version.size()], '\0');
    EXPECT_EQ(I.substr(328, 3), "AXN");
    EXPECT_EQ(Hex(I.substr(244, 4)), "88 13 00 00"); // 5000 little-endian
    EXPECT_EQ(ImageDeclaredLength(I), 5000u);
    EXPECT_EQ(ImageVersionText(I), Version);
    EXPECT_EQ(CheckMediaTekImage(I), "");
    EXPECT_EQ(MakeMediaTekImage(Version, 5000, 7), I) << "same seed, same image";
    EXPECT_NE(MakeMediaTekImage(Version, 5000, 8), I);
}

TEST(ReceiverImage, VersionTextEndsAtZeroOrHeaderEnd)
{
    std::string I = MakeMediaTekImage("AXN_1", 600, 1);
    EXPECT_EQ(ImageVersionText(I), "AXN_1");
    // A text of the full 128 bytes has no zero: it ends where "MTKGPS" begins.
    I.replace(16, 128, std::string(128, 'A'));
    EXPECT_EQ(ImageVersionText(I), std::string(128, 'A'));
    EXPECT_EQ(CheckMediaTekImage(I), "");
    EXPECT_EQ(ImageVersionText(std::string(10, 'x')), "");
    EXPECT_EQ(ImageVersionText(std::string(20, 'x')), "xxxx") << "a short image gives what it has";
}

TEST(ReceiverImage, DamagedImagesAreNamed)
{
    const std::string Good = MakeMediaTekImage(Version, 3000, 3);
    EXPECT_NE(CheckMediaTekImage(Good.substr(0, 447)).find("shorter than"), std::string::npos);
    std::string NoMagic = Good;
    NoMagic[145] = 'X';
    EXPECT_NE(CheckMediaTekImage(NoMagic).find("MTKGPS"), std::string::npos);
    std::string NoAxn = Good;
    NoAxn[328] = 'E';
    EXPECT_NE(CheckMediaTekImage(NoAxn).find("AXN"), std::string::npos);
    EXPECT_NE(CheckMediaTekImage(Good.substr(0, 2999)).find("declares 3000"), std::string::npos);
    EXPECT_NE(CheckMediaTekImage(Good + "x").find("declares 3000"), std::string::npos);
}

TEST(GpsContainer, PlainContainerOfAbcdIsTheDocumentedBytes)
{
    EXPECT_EQ(Hex(MakeGpsContainer("abcd", false)),
              "47 50 53 7A 04 00 00 00 36 1C 2F A6 00 00 00 00 00 00 00 00 61 62 63 64");
}

TEST(GpsContainer, PackedContainerHoldsRawDeflateAndBothCrcs)
{
    const std::string I = MakeMediaTekImage(Version, 20000, 5);
    const std::string C = MakeGpsContainer(I, true);
    const std::string Z = DeflateText(I, true);
    ASSERT_EQ(C.size(), 20 + Z.size());
    EXPECT_EQ(C.substr(0, 4), "GPSz");
    EXPECT_EQ(ReadLE32(C, 4), Z.size());
    EXPECT_EQ(ReadLE32(C, 8), Crc32Words(Z, 0xFFFFFFFFu));
    EXPECT_EQ(ReadLE32(C, 12), 20000u);
    EXPECT_EQ(ReadLE32(C, 16), Crc32Words(I, 0xFFFFFFFFu));
    EXPECT_EQ(C.substr(20), Z);
}

TEST(GpsContainer, GoodContainersGiveTheImageBack)
{
    const std::string I = MakeMediaTekImage(Version, 9999, 11);
    for (bool Packed : {false, true}) {
        // The EEPROM goes on past the container; only the container is read.
        const std::string C = MakeGpsContainer(I, Packed);
        std::string Out;
        std::size_t Len = 0;
        EXPECT_EQ(ReadGpsContainer(C + std::string(5000, '\xFF'), Packed, Out, &Len), "") << Packed;
        EXPECT_EQ(Out, I);
        EXPECT_EQ(Len, C.size());
    }
}

TEST(GpsContainer, DamageIsRefusedWithAReason)
{
    const std::string I = MakeMediaTekImage(Version, 9999, 11);
    const std::string Plain = MakeGpsContainer(I, false);
    const std::string Packed = MakeGpsContainer(I, true);
    std::string Out;

    auto Reason = [&Out](const std::string& Data, bool IsPacked) {
        const std::string R = ReadGpsContainer(Data, IsPacked, Out);
        EXPECT_TRUE(Out.empty()) << "nothing is handed out on failure";
        return R;
    };

    std::string C = Plain;
    C[100] ^= 1;
    EXPECT_EQ(Reason(C, false), "container payload CRC mismatch");
    C = Packed;
    C[40] ^= 0x20;
    EXPECT_EQ(Reason(C, true), "container payload CRC mismatch");

    // Truncated: the stored length runs past what the EEPROM holds.
    EXPECT_NE(Reason(Plain.substr(0, Plain.size() - 1), false).find("runs past"), std::string::npos);
    EXPECT_NE(Reason(Packed.substr(0, 500), true).find("runs past"), std::string::npos);
    EXPECT_EQ(Reason(Plain.substr(0, 19), false), "no room for a container header");

    C = Plain;
    C[0] = 'g';
    EXPECT_EQ(Reason(C, false), "no \"GPSz\" container at the image address");

    // Length fields and CRCs that agree with a payload cut short still fail inflation.
    std::string Z = DeflateText(I, true);
    Z.resize(Z.size() / 2);
    C = "GPSz";
    PutLE32(C, 4, static_cast<uint32_t>(Z.size()));
    PutLE32(C, 8, Crc32Words(Z, 0xFFFFFFFFu));
    PutLE32(C, 12, static_cast<uint32_t>(I.size()));
    PutLE32(C, 16, Crc32Words(I, 0xFFFFFFFFu));
    EXPECT_EQ(Reason(C + Z, true), "container payload is not a complete raw deflate stream");

    C = Packed;
    PutLE32(C, 16, ReadLE32(C, 16) ^ 1);
    EXPECT_EQ(Reason(C, true), "unpacked image CRC mismatch");
    C = Packed;
    PutLE32(C, 12, 10000);
    EXPECT_EQ(Reason(C, true), "inflated 9999 bytes, container declares 10000");
    C = Packed;
    PutLE32(C, 12, 9998);
    EXPECT_EQ(Reason(C, true), "container payload is not a complete raw deflate stream");

    // The kind the unit asked for is the kind it takes.
    EXPECT_EQ(Reason(Packed, false), "plain container expected, found a packed one");
    EXPECT_EQ(Reason(Plain, true), "packed container expected, found a plain one");
}

TEST(Inflate, RawStreamMustEndExactlyAndStayWithinTheLimit)
{
    const std::string Data(3000, 'q');
    const std::string Z = DeflateText(Data, true);
    std::string Out;
    ASSERT_TRUE(InflateRaw(Z, 3000, Out));
    EXPECT_EQ(Out, Data);
    EXPECT_FALSE(InflateRaw(Z, 2999, Out));
    EXPECT_TRUE(Out.empty());
    EXPECT_FALSE(InflateRaw(Z + "x", 3000, Out)) << "bytes after the end of the stream";
    EXPECT_FALSE(InflateRaw(Z.substr(0, Z.size() - 1), 3000, Out));
    EXPECT_FALSE(InflateRaw(DeflateText(Data, false), 3000, Out)) << "a zlib header is not raw deflate";
    EXPECT_FALSE(InflateRaw("", 10, Out));
}

TEST(ReceiverImage, ImagesMadeByFwpackAreReadTheSameWay)
{
    for (const std::string& V : {Version, std::string("EVA_2.0_M10_24031500,2000,EVA-M10,1.0+F")}) {
        const std::string I = StampMtkHeader(GeneratePayload(98304, 4), V);
        EXPECT_EQ(CheckMediaTekImage(I), "") << V;
        EXPECT_EQ(ImageVersionText(I), V);
        EXPECT_EQ(ImageDeclaredLength(I), 98304u);
    }
}
