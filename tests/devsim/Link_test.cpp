// The simulated unit against the real link component, plugged in as COM 5
// through a port-map folder, the way the tool meets it.
#include "DevsimTest.h"
#include "firmware/SoftUpdate.h"
#include "link/Corvex2.h"
#include "serial/ComPort.h"
#include "tests/common/QtWait.h"
#include "tools/devsim/ReceiverImage.h"
#include "tools/devsim/VeltracUnit.h"
#include "util/MyConvert.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

using namespace devsim;

namespace
{

const std::string OldReceiver = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";
const std::string NewReceiver = "AXN_5.1.9_3333_23110100,5110,MC-GG,1.1";
constexpr int Wait = 15000;

struct LinkRig : ::testing::Test {
    TempFolder Dir;
    std::unique_ptr<VeltracUnit> Unit;
    TCorvex CX;
    int Opened = 0, Closed = 0, GpsReports = 0, FastSpeed = 0, Completed = 0;
    std::vector<TCX_LoggerStatus> Logger;
    std::map<int, std::string> Params;
    std::vector<std::pair<int, bool>> Set;
    bool HaveVersionInfo = false;
    // EEPROM transfer, one record outstanding, as the tool paces it.
    std::vector<std::pair<int32_t, std::string>> Records;
    std::size_t Cursor = 0;
    int Refused = 0;

    void SetUp() override
    {
        setenv("VELTRAC_COM_DIR", Dir.Path().c_str(), 1);
        CX.SetConfigType(cxctSTXb);
        CX.SetText_ShowRevision(true);
        CX.OnAfterOpen = [this](TCorvex*) { ++Opened; };
        CX.OnAfterClose = [this](TCorvex*) { ++Closed; };
        CX.OnGotVersionInfo = [this](TCorvex*, const TCX_VersionInfo&) { HaveVersionInfo = true; };
        CX.OnGPSLocation = [this](TCorvex*, const TCX_GPSLocation&) { ++GpsReports; };
        CX.OnFastSpeed = [this](TCorvex*) { ++FastSpeed; };
        CX.OnLoggerStatus = [this](TCorvex*, const TCX_LoggerStatus& S) { Logger.push_back(S); };
        CX.OnRequestParameter = [this](TCorvex*, int32_t P, bool Valid, const std::string& V,
                                       const std::string&) { Params[P] = Valid ? V : "(refused)"; };
        CX.OnSetParameter = [this](TCorvex*, int32_t P, bool Ok) { Set.emplace_back(P, Ok); };
        CX.OnSoftwareUpdateComplete = [this](TCorvex*) { ++Completed; };
        CX.OnEEPromDataWrite = [this](TCorvex*, bool Ok) {
            if (Ok)
                ++Cursor;
            else
                ++Refused;
            if (Cursor < Records.size())
                CX.WriteEEPromData(Records[Cursor].first, Records[Cursor].second);
        };
    }
    void TearDown() override
    {
        CX.Close(true);
        unsetenv("VELTRAC_COM_DIR");
    }
    void Plug(UnitConfig C = {})
    {
        C.ProgrammingMs = 400;
        C.LoggerIntervalMs = 50;
        C.GpsIntervalMs = 200;
        C.RestartMs = 100;
        Unit = std::make_unique<VeltracUnit>(C);
        ASSERT_TRUE(Unit->Ok()) << Unit->Error();
        ASSERT_TRUE(Unit->PlugAs(5, Dir.Path()));
        CX.SetComNumber(5);
    }
    void Connect()
    {
        CX.Open();
        ASSERT_TRUE(WaitFor([this] { return Opened > 0; }, Wait));
        ASSERT_EQ(CX.UnitInfo().UnitID, 123456);
        CX.RequestVersionInfo(false);
        ASSERT_TRUE(WaitFor([this] { return HaveVersionInfo; }, Wait));
    }
    std::string Parameter(int P)
    {
        Params.erase(P);
        CX.RequestParameter(P);
        if (!WaitFor([&] { return Params.count(P) > 0; }, Wait))
            return "(no answer)";
        return Params[P];
    }
    void Transfer(const std::string& Data, uint32_t Address)
    {
        const std::size_t Chunk = CX.MaxLength() - 4u;
        Records.clear();
        for (std::size_t i = 0; i < Data.size(); i += Chunk)
            Records.emplace_back(static_cast<int32_t>(Address + i), BytesToHex(Data.substr(i, Chunk), true));
        Cursor = 0;
        CX.WriteEEPromData(Records[0].first, Records[0].second);
        ASSERT_TRUE(WaitFor([this] { return Cursor == Records.size(); }, 60000));
    }
};

} // namespace

TEST_F(LinkRig, UnitConnectsReportsTakesTheImageAndProgramsIt)
{
    Plug();
    Connect();
    EXPECT_TRUE(CX.UnitInfo().WideParameters);
    EXPECT_EQ(CX.UnitInfo().VersionText, "2.40");
    EXPECT_EQ(CX.UnitInfo().Class, 7);
    EXPECT_EQ(CX.MaxLength(), 250);
    EXPECT_EQ(CX.VersionInfo().HardwareText, "2e5");
    EXPECT_EQ(CX.VersionInfo().HardwareRev, 3);
    EXPECT_EQ(CX.VersionInfo().Class, 7);

    CX.SetGPSReports(true, false);
    ASSERT_TRUE(WaitFor([this] { return GpsReports >= 2; }, Wait));
    EXPECT_EQ(Parameter(65352), "10000,1,C");
    EXPECT_EQ(Parameter(65354), OldReceiver);
    CX.SetGPSReports(false, false);
    CX.SetLoggerReports(true);

    CX.SetFastSpeed();
    ASSERT_TRUE(WaitFor([this] { return FastSpeed == 1; }, Wait));
    EXPECT_EQ(Unit->ToolRate(), 57600u) << "the tool's port followed the unit";
    const std::string Image = MakeMediaTekImage(NewReceiver, 60000, 17);
    Transfer(MakeGpsContainer(Image, true), 0x10000);
    EXPECT_EQ(Refused, 0);

    CX.SetParameterInt(65352, 1);
    ASSERT_TRUE(WaitFor([this] { return !Set.empty(); }, Wait));
    EXPECT_EQ(Set[0], (std::pair<int, bool>(65352, true)));
    ASSERT_TRUE(WaitFor([this] { return Unit->Report().Programmings == 1; }, Wait));
    ASSERT_TRUE(
        WaitFor([this] { return !Logger.empty() && Logger.back().Current == Logger.back().Total; }, Wait));
    EXPECT_EQ(Logger.back().Total, 235); // pages of 60000 bytes
    EXPECT_EQ(Unit->ReceiverImage(), Image);
    EXPECT_EQ(Parameter(65354), NewReceiver);
    const int Before = GpsReports;
    EXPECT_TRUE(WaitFor([&] { return GpsReports > Before; }, Wait)) << "GPS reports resume by themselves";

    CX.TurnOff();
    ASSERT_TRUE(WaitFor([this] { return Closed == 1; }, Wait));
    EXPECT_EQ(Unit->Report().TurnOffs, 1);
    EXPECT_EQ(Unit->Report().Retries(), 0);
}

TEST_F(LinkRig, WrongCrcInTheContainerIsRefused)
{
    UnitConfig C;
    C.Container = 'V';
    Plug(C);
    Connect();
    std::string Data = MakeGpsContainer(MakeMediaTekImage(NewReceiver, 5000, 2), false);
    Data[8] ^= 0x01; // the stored CRC
    Transfer(Data, 0x10000);
    CX.SetParameterInt(65352, 1);
    // The acknowledgement first: a later one would be taken as the answer to the next request.
    ASSERT_TRUE(WaitFor([this] { return !Set.empty(); }, Wait));
    ASSERT_TRUE(WaitFor([this] { return Unit->Report().ProgrammingFailures == 1; }, Wait));
    EXPECT_EQ(Unit->Report().ProgrammingError, "container payload CRC mismatch");
    EXPECT_EQ(Parameter(65354), OldReceiver);
}

TEST_F(LinkRig, UnitWithoutReceiverUpdatesAnswersAnEmptyValue)
{
    UnitConfig C;
    C.ReceiverUpdates = false;
    Plug(C);
    Connect();
    EXPECT_EQ(Parameter(65352), "");
}

TEST_F(LinkRig, UnitPullsItsOwnFirmwareAndReconnectsOnTheNewVersion)
{
    Plug();
    Connect();
    TSoftwareVersionCollection Collection;
    TSoftwareVersion V;
    V.Info.Title = "cx7-241";
    V.Info.Class = 7;
    V.Info.Hardware = 0x25;
    V.Info.HardwareRev.set(3);
    V.Info.Version = 241;
    V.Wide = true;
    V.Blocks = std::string(64, '\0');
    V.Blocks[2] = '\x0F'; // blocks 16..19
    std::vector<std::string> Content(20);
    for (int n = 16; n < 20; ++n) {
        Content[static_cast<std::size_t>(n)] = std::string(256, static_cast<char>('a' + n));
        V.BlockNumbers.push_back(std::to_string(n));
        V.BlockData.push_back(Content[static_cast<std::size_t>(n)]);
    }
    V.CRC = FirmwareCrc(V.Blocks, Content);
    Collection.AddVersion(V);
    ASSERT_TRUE(CX.SelectSoftware(Collection, "cx7-241"));
    ASSERT_TRUE(CX.StartSoftwareUpdate(false));
    ASSERT_TRUE(WaitFor([this] { return Completed == 1; }, Wait));
    ASSERT_TRUE(WaitFor([this] { return Opened == 2; }, Wait)) << "the unit answers the new wake-up";
    EXPECT_EQ(CX.UnitInfo().VersionText, "2.41");
    const UnitReport R = Unit->Report();
    EXPECT_EQ(R.FirmwareUpdates, 1);
    EXPECT_EQ(R.FirmwareError, "");
    EXPECT_FALSE(R.LastUpdateFlag);
    EXPECT_EQ(FirmwareBytes(Unit->Firmware()), Content[16] + Content[17] + Content[18] + Content[19]);
}
