// The firmware package the tool carries: deciphered, its archive opened once,
// and the listing, the unit firmware and every image taken from that one open
// archive; packages that cannot be read say why.
#include "firmware/ArchiveReader.h"
#include "firmware/FirmwarePackage.h"
#include "firmware/Keys.h"
#include "firmware/ReceiverImages.h"
#include "firmware/Resources.h"
#include "tests/common/TestBytes.h"
#include "tools/fwpack/FwPack.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>

namespace
{

// The real reader, counting how often an archive is opened and closed.
class TCountingReader final : public IArchiveReader
{
  public:
    TCountingReader(int& Opens, int& Closes) : FReal(NewArchiveReader()), FOpens(Opens), FCloses(Closes) {}

    void OpenArchiveStream(TArchiveStream& Stream) override
    {
        ++FOpens;
        FReal->OpenArchiveStream(Stream);
    }
    void CloseArchive() override
    {
        ++FCloses;
        FReal->CloseArchive();
    }
    uint32_t ItemCount() override { return FReal->ItemCount(); }
    std::string ItemPathOf(uint32_t Index) override { return FReal->ItemPathOf(Index); }
    uint64_t ItemSizeOf(uint32_t Index) override { return FReal->ItemSizeOf(Index); }
    bool ItemIsDirectory(uint32_t Index) override { return FReal->ItemIsDirectory(Index); }
    void ExtractItemToStream(uint32_t Index, std::string& Stream, bool Test) override
    {
        FReal->ExtractItemToStream(Index, Stream, Test);
    }
    void SetFormatClassId(const TGUID& ClassId) override { FReal->SetFormatClassId(ClassId); }
    TGUID GetFormatClassId() const override { return FReal->GetFormatClassId(); }

  private:
    std::unique_ptr<IArchiveReader> FReal;
    int& FOpens;
    int& FCloses;
};

std::vector<std::string> Titles(const TSoftwareVersionCollection& C)
{
    std::vector<std::string> T;
    for (const TSoftwareVersion* V = C.First(); V; V = V->Next)
        T.push_back(V->Info.Title);
    return T;
}

// Every item of Archive by name, read by a reader of its own.
std::map<std::string, std::string> ItemsOf(std::string Archive)
{
    std::map<std::string, std::string> Items;
    auto Reader = NewArchiveReader();
    TArchiveStream Stream(Archive);
    Reader->OpenArchiveStream(Stream);
    for (uint32_t I = 0; I < Reader->ItemCount(); ++I)
        Reader->ExtractItemToStream(I, Items[Reader->ItemPathOf(I)], false);
    Reader->CloseArchive();
    return Items;
}

std::string Joined(const std::vector<std::string>& Lines)
{
    std::string S;
    for (const std::string& L : Lines)
        S += L + "\n";
    return S;
}

std::string Package(const std::string& Label, const std::vector<TArchiveItem>& Items)
{
    return WriteFirmwareImage(Label, BuildSevenZip(Items), ImageKey());
}

} // namespace

TEST(FirmwarePackage, DemoPackageIsReadFromOneOpenArchive)
{
    const auto Resource = FindResource("gps_fw");
    ASSERT_TRUE(Resource.has_value());
    int Opens = 0;
    int Closes = 0;
    {
        const TFirmwarePackage P(std::string(*Resource), ImageKey(),
                                 std::make_unique<TCountingReader>(Opens, Closes));
        EXPECT_TRUE(P.Problems().empty()) << Joined(P.Problems());
        EXPECT_TRUE(P.IsOpen());
        EXPECT_EQ(P.Label(), "Demo package 2026-12");
        const std::vector<std::string> Expected = {
            "AXN_3.8_3333_15043022,3424,MC-GG,1.0.bin", "AXN_3.8_1513_16022600,1513,MC-1513,1.0.bin",
            "AXN_5.0_3333_22051800,5003,MC-3333,1.2.bin", "AXN_5.1.9_3333_23110100,5110,MC-GG,1.1.bin",
            "EVA_2.0_M10_24031500,2000,EVA-M10,1.0+F.bin"};
        EXPECT_EQ(P.ReceiverImages(), Expected);

        // The same versions as a load that opens the archive for itself.
        TSoftwareVersionCollection Own;
        Own.LoadFromArchive(P.Archive());
        EXPECT_EQ(P.UnitFirmware().Count(), 10);
        EXPECT_EQ(Titles(P.UnitFirmware()), Titles(Own));

        // Every image, taken twice, is the item's bytes.
        const auto Items = ItemsOf(P.Archive());
        for (int Round = 0; Round < 2; ++Round)
            for (const std::string& Name : Expected) {
                const TPackageImage Image = P.Image(Name);
                ASSERT_TRUE(Image.Bytes.has_value()) << Image.Error;
                EXPECT_EQ(Image.Error, "");
                EXPECT_EQ(*Image.Bytes, Items.at(Name)) << Name;
                EXPECT_EQ(CheckMediaTekImage(*Image.Bytes), TMediaTekCheck::Ok) << Name;
            }
        EXPECT_EQ(Opens, 1);
        EXPECT_EQ(Closes, 0) << "the archive stays open while the package lives";
    }
    EXPECT_EQ(Closes, 1);
}

TEST(FirmwarePackage, ItemsByNameAndNamesItDoesNotHold)
{
    int Opens = 0;
    int Closes = 0;
    const TFirmwarePackage P(
        Package("L", {{"a.BIN", "1"}, {"fw.bin.txt", "2"}, {"b.bin", "3"}, {"notes.txt", "4"}}), ImageKey(),
        std::make_unique<TCountingReader>(Opens, Closes));
    EXPECT_EQ(P.Label(), "L");
    EXPECT_EQ(P.ReceiverImages(), (std::vector<std::string>{"a.BIN", "b.bin"}));
    EXPECT_EQ(P.UnitFirmware().Count(), 0);
    // Any item can be taken by its exact name; case counts.
    EXPECT_EQ(P.Image("notes.txt").Bytes, std::optional<std::string>("4"));
    EXPECT_EQ(P.Image("b.bin").Bytes, std::optional<std::string>("3"));
    for (const std::string Missing : {"missing.bin", "B.BIN", ""}) {
        const TPackageImage Image = P.Image(Missing);
        EXPECT_FALSE(Image.Bytes.has_value());
        EXPECT_EQ(Image.Error, "the firmware package holds no item " + Missing);
    }
    EXPECT_EQ(Opens, 1);
    // An item that gives no version is worth a note, not a failure.
    const TFirmwarePackage Units(Package("U", {{"u.ini", "[nothing]\n"}}), ImageKey());
    EXPECT_EQ(Joined(Units.Problems()), "u.ini: no firmware version in it\n");
}

TEST(FirmwarePackage, UnreadablePackagesSayWhy)
{
    auto ExpectProblem = [](const TFirmwarePackage& P, const std::string& Part) {
        const std::string All = Joined(P.Problems());
        EXPECT_NE(All.find(Part), std::string::npos) << All;
    };

    // Noise and nothing at all do not decipher.
    for (const std::string& Resource : {NoiseBytes(4000, 9), std::string()}) {
        const TFirmwarePackage P(Resource, ImageKey());
        ExpectProblem(P, "(" + std::to_string(Resource.size()) + " bytes) is empty or does not decipher");
        EXPECT_FALSE(P.IsOpen());
        EXPECT_EQ(P.Label(), "");
        EXPECT_TRUE(P.ReceiverImages().empty());
        const TPackageImage Image = P.Image("AXN_1,2,MC-GG,1.bin");
        EXPECT_FALSE(Image.Bytes.has_value());
        EXPECT_EQ(Image.Error,
                  "cannot take AXN_1,2,MC-GG,1.bin from the firmware package: its archive is not open");
    }

    // Deciphered, but no archive behind the label.
    const TFirmwarePackage NoArchive(WriteFirmwareImage("Label", "not an archive", ImageKey()), ImageKey());
    EXPECT_EQ(NoArchive.Label(), "Label");
    ExpectProblem(NoArchive, "cannot open the archive: OpenArchive failed");
    EXPECT_FALSE(NoArchive.IsOpen());

    // A truncated archive does not open either.
    const std::string Archive =
        BuildSevenZip({{"AXN_1,2,MC-GG,1.bin", NoiseBytes(60000, 3)}, {"u.ini", "[nothing]\n"}});
    const TFirmwarePackage Cut(WriteFirmwareImage("Cut", Archive.substr(0, Archive.size() - 10), ImageKey()),
                               ImageKey());
    ExpectProblem(Cut, "cannot open the archive");

    // Damaged packed data: listed, but neither the image nor the versions come out.
    std::string Damaged = Archive;
    Damaged[Damaged.size() / 2] ^= 0x55;
    const TFirmwarePackage P(WriteFirmwareImage("Damaged", Damaged, ImageKey()), ImageKey());
    EXPECT_TRUE(P.IsOpen());
    EXPECT_EQ(P.ReceiverImages(), std::vector<std::string>{"AXN_1,2,MC-GG,1.bin"});
    ExpectProblem(P, "u.ini: ");
    const TPackageImage Image = P.Image("AXN_1,2,MC-GG,1.bin");
    EXPECT_FALSE(Image.Bytes.has_value());
    EXPECT_EQ(Image.Error.rfind("cannot extract AXN_1,2,MC-GG,1.bin from the firmware package: ", 0), 0u)
        << Image.Error;
}
