// What the session holds before anything is opened: the command-line switch,
// the embedded firmware (caption, receiver images, unit firmware, module
// controller firmware) and firmware images of other makes.
#include "AppTestSupport.h"
#include "SessionFixture.h"
#include "firmware/Keys.h"
#include "firmware/MyCrypt.h"
#include "tests/common/TestStore.h"
#include "tools/fwpack/FwPack.h"

namespace
{

std::string Image(const std::string& Label, const std::vector<TArchiveItem>& Items)
{
    return WriteFirmwareImage(Label, BuildSevenZip(Items), ImageKey());
}

// One unit firmware version in a "QVD_FW_v01" container under the tool's key.
std::string UnitEfw(const std::string& Title)
{
    TPackVersion V;
    V.Title = Title;
    V.Version = 7;
    V.Class = 21;
    V.Hardware = 1;
    V.HardwareRev.set(2);
    V.Wide = true;
    CutBlocks(V, std::string(1000, '\x5A'), 16, 64, false);
    return WriteEfw(V, EfwKey());
}

} // namespace

TEST(SessionStartup, ManualSwitchIsTheFirstArgumentInAnyCase)
{
    auto Auto = [](const std::vector<std::string>& Arguments) {
        return TUpdateSession(TestStore(), Arguments).AutoUpdate();
    };
    EXPECT_TRUE(Auto({}));
    EXPECT_FALSE(Auto({"/MANUAL"}));
    EXPECT_FALSE(Auto({"/manual"}));
    EXPECT_FALSE(Auto({"/Manual", "x"}));
    EXPECT_TRUE(Auto({"x", "/MANUAL"}));
    EXPECT_TRUE(Auto({"/MANUALS"}));
    EXPECT_TRUE(Auto({"MANUAL"}));
}

TEST(SessionStartup, EmbeddedDemoFirmware)
{
    TUpdateSession S(TestStore());
    EXPECT_EQ(S.Display().Caption, "Veltrac GNSS Firmware Update + Veltrac (Demo package 2026-12)");
    EXPECT_EQ(S.ArchiveLabel(), "Demo package 2026-12");
    const std::vector<std::string> Expected = {
        "AXN_3.8_3333_15043022,3424,MC-GG,1.0.bin", "AXN_3.8_1513_16022600,1513,MC-1513,1.0.bin",
        "AXN_5.0_3333_22051800,5003,MC-3333,1.2.bin", "AXN_5.1.9_3333_23110100,5110,MC-GG,1.1.bin",
        "EVA_2.0_M10_24031500,2000,EVA-M10,1.0+F.bin"};
    EXPECT_EQ(S.Images().ReceiverImages(), Expected);
    EXPECT_EQ(S.Images().UnitFirmware().Count(), 10);
    EXPECT_TRUE(S.ModuleProcedure().ControllerFirmware().IsReady());
    EXPECT_EQ(S.ModuleProcedure().ControllerFirmware().Title, "EGPS controller 2.03");
    EXPECT_TRUE(S.ModuleProcedure().ControllerFirmware().Wide);

    // Nothing is chosen, nothing is open, nothing runs.
    EXPECT_EQ(S.UpdateState(), TUpdateState::Idle);
    EXPECT_EQ(S.ImageName(), "");
    EXPECT_FALSE(S.Image().has_value());
    EXPECT_FALSE(S.UnitProcedure().Link().Connected());
    EXPECT_FALSE(S.ModuleProcedure().Port().Active());
    EXPECT_FALSE(S.ModuleProcedure().TimerE3.isActive());
    EXPECT_FALSE(S.UnitProcedure().Transfer().tWriteRetry.isActive());
    EXPECT_FALSE(S.Display().DeviceTypeLocked);
    EXPECT_EQ(S.Display().DeviceType, dtVeltrac);
    EXPECT_EQ(S.Display().pSendProgress, (TProgressBarState{0, 100}));
    EXPECT_EQ(S.ModuleProcedure().Port().BaudRate(), br9600);
    EXPECT_EQ(S.ModuleProcedure().Port().OutBufSize(), 4096);
    EXPECT_EQ(S.UnitProcedure().Link().ConfigType(), cxctSTXb);
}

TEST(SessionStartup, ReceiverImagesAreTheBinItemsInArchiveOrder)
{
    TUpdateSession S(TestStore());
    S.LoadGPSFirmwareImage(Image("Label L", {{"a.BIN", "1"},
                                             {"fw.bin.txt", "2"},
                                             {"b.bin", "3"},
                                             {"notes.txt", "4"},
                                             {"c.efw", UnitEfw("Unit 7")}}));
    EXPECT_EQ(S.Images().ReceiverImages(), (std::vector<std::string>{"a.BIN", "b.bin"}));
    EXPECT_EQ(S.Images().UnitFirmware().Count(), 1);
    EXPECT_EQ(S.Display().Caption, "Veltrac GNSS Firmware Update + Veltrac (Label L)");

    // Images are read from the archive by name, once.
    EXPECT_TRUE(S.Images().LoadArchiveImage("b.bin"));
    EXPECT_EQ(S.Image(), std::optional<std::string>("3"));
    EXPECT_EQ(S.ImageName(), "b.bin");
    EXPECT_TRUE(S.Images().LoadArchiveImage("b.bin"));
    std::vector<std::string> Trace;
    S.Log.OnTrace = [&](TUpdateSession*, const std::string& Line) { Trace.push_back(Line); };
    EXPECT_FALSE(S.Images().LoadArchiveImage("missing.bin"));
    EXPECT_FALSE(S.Image().has_value());
    EXPECT_EQ(S.ImageName(), "") << "a name must never stand for an image not held";
    EXPECT_EQ(Trace, std::vector<std::string>{"# the firmware package holds no item missing.bin"});
}

TEST(SessionStartup, ArchiveWithoutUnitFirmware)
{
    TUpdateSession S(TestStore());
    S.LoadGPSFirmwareImage(Image("Only receivers", {{"AXN_1,2,MC-GG,1.bin", "x"}}));
    EXPECT_EQ(S.Display().Caption, "Veltrac GNSS Firmware Update (Only receivers)");
    EXPECT_EQ(S.Images().UnitFirmware().Count(), 0);
    EXPECT_EQ(S.Images().ReceiverImages().size(), 1u);
}

TEST(SessionStartup, ImageWithoutLabelOrDamaged)
{
    TUpdateSession S(TestStore());
    // No "|" anywhere: no label, and the plaintext is no archive.
    const std::string Plain = "no separator in here";
    const std::string IV(16, '\x42');
    S.LoadGPSFirmwareImage(IV + AesCbcEncrypt(ImageKey(), IV, Plain, true));
    EXPECT_EQ(S.Display().Caption, "Veltrac GNSS Firmware Update ()");
    EXPECT_EQ(S.Images().Archive(), Plain);
    EXPECT_TRUE(S.Images().ReceiverImages().empty());

    // Noise: nothing deciphers, nothing is listed, every check is unsupported.
    // The note waits for a trace that is set later (as the embedded package is loaded first).
    TUpdateSession D(TestStore());
    D.LoadGPSFirmwareImage(NoiseBytes(4000, 9));
    std::vector<std::string> Trace;
    D.Log.SetTrace([&](TUpdateSession*, const std::string& Line) { Trace.push_back(Line); });
    ASSERT_EQ(Trace.size(), 1u);
    EXPECT_EQ(Trace[0].rfind("# firmware package: ", 0), 0u) << Trace[0];
    EXPECT_EQ(D.Display().Caption, "Veltrac GNSS Firmware Update ()");
    EXPECT_TRUE(D.Images().ReceiverImages().empty());
    EXPECT_EQ(D.Images().UnitFirmware().Count(), 0);
    D.LoadGPSFirmwareImage("");
    EXPECT_EQ(D.Display().Caption, "Veltrac GNSS Firmware Update ()");
}

TEST(SessionStartup, ProgressBarsKeepTheirPositionInRange)
{
    TProgressBarState B;
    B.SetPosition(150);
    EXPECT_EQ(B.Position, 100);
    B.SetPosition(-3);
    EXPECT_EQ(B.Position, 0);
    B.SetPosition(80);
    B.SetMaximum(30);
    EXPECT_EQ(B.Position, 30);
    B.SetMaximum(-1);
    EXPECT_EQ(B.Maximum, 0);
    EXPECT_EQ(B.Position, 0);
}

TEST(SessionStartup, DeviceTypeIsLockedFromOpenToClose)
{
    TUpdateSession S(TestStore());
    EXPECT_TRUE(S.SetDeviceType(dtExternalGPS));
    EXPECT_FALSE(S.SetDeviceType(2));
    EXPECT_EQ(S.Display().DeviceType, dtExternalGPS);
    S.Open(); // no port chosen: nothing happens
    EXPECT_FALSE(S.Display().DeviceTypeLocked);
    int Changes = 0;
    QObject::connect(&S, &TUpdateSession::DisplayChanged, [&] { ++Changes; });
    EXPECT_TRUE(S.SetDeviceType(dtVeltrac));
    EXPECT_EQ(Changes, 1);
    EXPECT_TRUE(S.SetDeviceType(dtVeltrac));
    EXPECT_EQ(Changes, 1) << "nothing changed, nothing to show";
}
