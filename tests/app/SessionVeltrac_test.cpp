// The update of a Veltrac tracking unit's receiver, end to end against the
// simulated unit: the unit's own firmware first, the receiver version check,
// the EEPROM transfer in every container form, programming and confirmation,
// and the user stopping it on the way.
#include "AppTestSupport.h"
#include "SessionFixture.h"
#include "firmware/MyCrypt.h"
#include "tools/devsim/GpsModule.h"
#include "tools/devsim/ReceiverImage.h"
#include "tools/devsim/VeltracUnit.h"

#include <set>

namespace
{

const std::string NewEVA = "EVA_2.0_M10_24031500,2000,EVA-M10,1.0+F";

// A unit the tool carries its own firmware for (CX21 firmware 3.20).
devsim::UnitConfig Class21Unit()
{
    auto C = FastUnit();
    C.Class = 21;
    C.Hardware = 1;
    C.HardwareRev = 1;
    return C;
}

std::string Field(const devsim::UnitReport& R, int Cmd)
{
    auto It = R.Commands.find(Cmd);
    return std::to_string(It == R.Commands.end() ? 0 : It->second);
}

} // namespace

class VeltracContainers : public SessionTest, public ::testing::WithParamInterface<char>
{
};

TEST_P(VeltracContainers, ReceiverEndsWithTheArchiveImage)
{
    auto C = FastUnit();
    C.Container = GetParam();
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    std::vector<std::string> Progress;
    QObject::connect(S.get(), &TUpdateSession::DisplayChanged, [&] {
        if (Progress.empty() || Progress.back() != S->Display().vProgress)
            Progress.push_back(S->Display().vProgress);
    });
    Open(*S, dtVeltrac);

    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::TransferStart; }, Short));
    EXPECT_EQ(S->Display().vUnitID, "123456");
    EXPECT_EQ(S->Display().vVersion, "2.40");
    EXPECT_EQ(S->Display().vVersionInfo, "2e5");
    EXPECT_EQ(S->Display().vGPSCurrent, Old1513);
    EXPECT_EQ(S->Display().vGPSNeeded, New1513);
    EXPECT_EQ(S->UnitProcedure().Transfer().EEPromAddress(), 0x10000);
    EXPECT_EQ(S->UnitProcedure().Transfer().PackImage(), GetParam() == 'C');
    EXPECT_EQ(S->UnitProcedure().Transfer().PlainHeader(), GetParam() == 'V');

    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long))
        << "state " << int(S->UpdateState()) << ", writes " << Unit.Report().EepromWrites;
    const auto R = Unit.Report();
    EXPECT_EQ(R.Programmings, 1) << R.ProgrammingError;
    EXPECT_EQ(R.ProgrammedFrom, GetParam() == 'C'   ? "packed container"
                                : GetParam() == 'V' ? "plain container"
                                                    : "raw image");
    EXPECT_EQ(R.UnwrittenBytes, 0u);
    const std::string Expected = ArchiveItem(S->Images().Archive(), New1513 + ".bin");
    ASSERT_FALSE(Expected.empty());
    EXPECT_TRUE(Unit.ReceiverImage() == Expected) << "receiver image differs from the archive's";
    EXPECT_TRUE(WaitFor([&] { return Unit.Report().TurnOffs == 1; }, Short)) << "the unit was not turned off";
    EXPECT_EQ(R.SpeedSwitches, 1);
    EXPECT_EQ(S->Display().vGPSCurrent, New1513);
    EXPECT_EQ(S->Display().vGPSNeeded, New1513);
    EXPECT_TRUE(S->UnitProcedure().Transfer().Records().empty());

    // One run, ended by the unit reporting the new version; what a production line records.
    ASSERT_EQ(Outcomes.size(), 1u);
    const TUpdateOutcome& O = Outcomes[0];
    EXPECT_EQ(O.Kind, TOutcomeKind::Updated) << O.Message;
    EXPECT_EQ(O.Message, "the receiver was updated to \"" + New1513 + "\"");
    EXPECT_EQ(O.Device, "veltrac");
    EXPECT_EQ(O.DeviceID, "123456");
    EXPECT_EQ(O.FirmwareBefore, "2.40");
    EXPECT_EQ(O.FirmwareAfter, "2.40");
    EXPECT_EQ(O.ReceiverBefore, Old1513);
    EXPECT_EQ(O.ReceiverRequired, New1513);
    EXPECT_EQ(O.ReceiverAfter, New1513);
    EXPECT_EQ(O.ImageName, New1513 + ".bin");
    EXPECT_EQ(O.ImageSha256, Sha256Hex(Expected));
    EXPECT_EQ(O.ImageBytes, Expected.size());
    EXPECT_TRUE(O.Transferred);
    // Every record's data went out at least once, framed.
    EXPECT_GT(O.BytesSent, GetParam() == 'C' ? Expected.size() / 4 : Expected.size());
    EXPECT_EQ(O.ComNumber, Com);
    EXPECT_EQ(O.DevicePath, ComDir() + "/com5");

    // Record progress starts at 0.0% and the unit's programming shows as percentages.
    ASSERT_GE(Progress.size(), 3u);
    EXPECT_EQ(Progress[1], "0.0%");
    EXPECT_NE(std::find(Progress.begin(), Progress.end(), "100%"), Progress.end());
}

INSTANTIATE_TEST_SUITE_P(Forms, VeltracContainers, ::testing::Values('C', 'V', 'R'),
                         [](const auto& Info) { return std::string(1, Info.param); });

TEST_F(SessionTest, UnitGetsItsOwnFirmwareOncePerOpenThenTheReceiver)
{
    devsim::VeltracUnit Unit(Class21Unit());
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);

    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::UnitFirmware; }, Short));
    EXPECT_EQ(S->Display().vGPSCurrent, "Updating Veltrac to CX21 firmware 3.20");
    EXPECT_EQ(S->UnitProcedure().UpdatedUnitID(), 123456);
    ASSERT_TRUE(WaitFor([&] { return S->Display().pUpdateProgress.Position > 0; }, Short));

    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    auto R = Unit.Report();
    EXPECT_EQ(R.FirmwareUpdates, 1) << R.FirmwareError;
    EXPECT_EQ(R.FirmwareFailures, 0);
    EXPECT_EQ(Count(R, 0x11), 1) << "the reconnected unit was offered its firmware again";
    EXPECT_EQ(R.Programmings, 1);
    EXPECT_EQ(S->Display().vVersion, "2.41");
    EXPECT_EQ(Unit.ReceiverImage(), ArchiveItem(S->Images().Archive(), New1513 + ".bin"));
    // Switched off once the line is quiet.
    ASSERT_TRUE(WaitFor([&] { return Count(Unit.Report(), 0xF2) == 1; }, Short));

    // A new Open offers it again.
    S->Close();
    EXPECT_FALSE(S->Display().DeviceTypeLocked);
    S->Open();
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::UnitFirmware; }, Short));
    // The unit reads the offer in its own time (slowly under a sanitizer).
    EXPECT_TRUE(WaitFor([&] { return Count(Unit.Report(), 0x11) == 2; }, Short));
    S->Close();
}

struct TFlagCase {
    uint8_t Minor;
    char Letter;
    const char* Shown;
    bool Flag;
};

class VeltracUpdateFlag : public SessionTest, public ::testing::WithParamInterface<TFlagCase>
{
};

TEST_P(VeltracUpdateFlag, OnlyVersion231oGetsTheFlag)
{
    auto C = FastUnit();
    C.Class = 21;
    C.Hardware = 1;
    C.HardwareRev = 2;
    C.VersionMinor = GetParam().Minor;
    C.RevisionLetter = GetParam().Letter;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return Count(Unit.Report(), 0x11) > 0; }, Short));
    EXPECT_EQ(S->Display().vVersion, GetParam().Shown);
    EXPECT_EQ(Unit.Report().LastUpdateFlag, GetParam().Flag);
    S->Close();
}

INSTANTIATE_TEST_SUITE_P(Versions, VeltracUpdateFlag,
                         ::testing::Values(TFlagCase{31, 'o', "2.31o", true}, TFlagCase{31, 0, "2.31", false},
                                           TFlagCase{31, 'O', "2.31O", false}),
                         [](const auto& Info) { return "Case" + std::to_string(Info.index); });

TEST_F(SessionTest, UpToDateReceiverTurnsTheUnitOff)
{
    auto C = FastUnit();
    C.ReceiverVersion = CurrentGG;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor(
        [&] { return S->UpdateState() == TUpdateState::Finished && Unit.Report().TurnOffs == 1; }, Short));
    EXPECT_EQ(S->Display().vGPSCurrent, CurrentGG);
    EXPECT_EQ(S->Display().vGPSNeeded, CurrentGG);
    EXPECT_EQ(S->ImageName(), CurrentGG + ".bin");
    EXPECT_EQ(Unit.Report().EepromWrites, 0);
    EXPECT_TRUE(S->Display().DeviceTypeLocked);
}

TEST_F(SessionTest, UnitWithoutReceiverUpdates)
{
    auto C = FastUnit();
    C.ReceiverUpdates = false;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    // Every GPS report asks again, since the readiness never rises.
    ASSERT_TRUE(WaitFor([&] { return Count(Unit.Report(), 0x03) >= 3; }, Short))
        << Field(Unit.Report(), 0x03);
    EXPECT_EQ(S->Display().vGPSCurrent, "Update is not supported");
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);
    EXPECT_EQ(S->UnitProcedure().Transfer().GPSReady(), 0);
    EXPECT_EQ(Unit.Report().EepromWrites, 0);
    EXPECT_TRUE(Unit.Report().LoggerReports);
    S->Close();
}

TEST_F(SessionTest, ManualSwitchShowsTheVersionAndSendsNothing)
{
    auto C = FastUnit();
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession({"/Manual"});
    EXPECT_FALSE(S->AutoUpdate());
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Short));
    EXPECT_EQ(S->Display().vGPSCurrent, Old1513);
    EXPECT_EQ(S->Display().vGPSNeeded, "");
    Pump(500);
    EXPECT_EQ(Unit.Report().EepromWrites, 0);
    EXPECT_EQ(Unit.Report().TurnOffs, 0);
    S->Close();
}

TEST_F(SessionTest, ModuleTypeAliasAndCloseDuringTheTransfer)
{
    auto C = FastUnit();
    C.ReceiverVersion = "AXN_3.8_3333_15043022,3424,MC-GLA,1.0";
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor(
        [&] { return S->UpdateState() == TUpdateState::TransferStart && Unit.Report().EepromWrites >= 5; },
        Short));
    EXPECT_EQ(S->Display().vGPSNeeded, CurrentGG);
    EXPECT_EQ(S->ImageName(), CurrentGG + ".bin");

    S->Close();
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);
    EXPECT_TRUE(S->UnitProcedure().Transfer().Records().empty());
    EXPECT_FALSE(S->Display().DeviceTypeLocked);
    EXPECT_EQ(S->Display().vGPSCurrent, "");
    EXPECT_EQ(S->Display().vUnitID, "");
    EXPECT_EQ(S->Display().pSendProgress.Position, 0);
    EXPECT_FALSE(S->UnitProcedure().Transfer().tWriteRetry.isActive());
    EXPECT_FALSE(S->UnitProcedure().Link().Connected());
    Pump(300);
    const int Writes = Unit.Report().EepromWrites;
    Pump(1600);
    EXPECT_EQ(Unit.Report().EepromWrites, Writes);
    EXPECT_EQ(Unit.Report().Programmings, 0);
}

TEST_F(SessionTest, EvaReceiverWithPlusF)
{
    auto C = FastUnit();
    C.ReceiverVersion = "EVA_1.0_M10_20000000,1000,EVA-M10,0.9+F";
    C.VersionAfterProgramming = NewEVA;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::TransferStart; }, Short));
    EXPECT_EQ(S->Display().vGPSNeeded, NewEVA);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    EXPECT_EQ(Unit.ReceiverImage(), ArchiveItem(S->Images().Archive(), NewEVA + ".bin"));
    EXPECT_EQ(S->Display().vGPSCurrent, NewEVA);
}

TEST_F(SessionTest, EvaReceiverWithoutPlusFIsNotSupported)
{
    auto C = FastUnit();
    C.ReceiverVersion = "EVA_1.0_M10_20000000,1000,EVA-M10,0.9";
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Short));
    EXPECT_EQ(S->Display().vGPSNeeded, "Update is not supported");
    EXPECT_EQ(S->Display().vGPSCurrent, C.ReceiverVersion);
    EXPECT_FALSE(S->Image().has_value());
    Pump(300);
    EXPECT_EQ(Unit.Report().EepromWrites, 0);
    EXPECT_EQ(Unit.Report().TurnOffs, 0);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(SessionTest, RecoveryOfAReceiverThatCannotReport)
{
    auto C = FastUnit();
    C.Hardware = 0x21;
    C.ReceiverReadable = false;
    C.VersionAfterProgramming = CurrentGG;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return Count(Unit.Report(), 0x03) >= 2; }, Short));
    EXPECT_EQ(S->Display().vVersionInfo, "2e1");
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);

    S->Recover();
    EXPECT_EQ(S->UpdateState(), TUpdateState::TransferStart);
    EXPECT_EQ(S->Display().vGPSCurrent, "Firmware recovery");
    EXPECT_EQ(S->Display().vGPSNeeded, CurrentGG);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    EXPECT_EQ(Unit.ReceiverImage(), ArchiveItem(S->Images().Archive(), CurrentGG + ".bin"));
    EXPECT_TRUE(WaitFor([&] { return Unit.Report().TurnOffs == 1; }, Short));
}

TEST_F(SessionTest, RecoveryOnlyForHardware2e1)
{
    auto S = NewSession();
    S->Recover(); // nothing known yet
    EXPECT_EQ(S->Display().vGPSCurrent, "");
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);

    auto C = FastUnit();
    C.ReceiverReadable = false;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return Count(Unit.Report(), 0x03) >= 2; }, Short));
    EXPECT_EQ(S->Display().vVersionInfo, "2e5");
    S->Recover();
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);
    EXPECT_EQ(S->Display().vGPSCurrent, "");
    S->Close();
}

TEST_F(SessionTest, OffWhileTheUnitProgramsKeepsTheDeviceTypeLocked)
{
    auto C = FastUnit();
    C.ProgrammingMs = 5000;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(
        WaitFor([&] { return S->UpdateState() == TUpdateState::Busy && Unit.Report().Programming; }, Long));
    S->TurnOff();
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);
    EXPECT_TRUE(S->Display().DeviceTypeLocked);
    EXPECT_FALSE(S->SetDeviceType(dtExternalGPS));
    ASSERT_TRUE(WaitFor([&] { return Unit.Report().TurnOffs == 1; }, Short));
    EXPECT_FALSE(S->UnitProcedure().Transfer().tGPSVersionPoll.isActive());
    S->Close();
    EXPECT_FALSE(S->Display().DeviceTypeLocked);
    EXPECT_TRUE(S->SetDeviceType(dtExternalGPS));
}

TEST_F(SessionTest, CloseDuringTheUnitsOwnUpdateAndStartAgain)
{
    auto C = FastUnit();
    C.Class = 22;
    C.Hardware = 2;
    C.HardwareRev = 9; // CX22 2.00 fits every revision
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor(
        [&] { return S->UpdateState() == TUpdateState::UnitFirmware && Unit.Report().Pulling; }, Short));
    EXPECT_EQ(S->Display().vGPSCurrent, "Updating Veltrac to CX22 firmware 2.00");
    S->Close();
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);
    ASSERT_TRUE(WaitFor([&] { return !Unit.Report().Pulling; }, Short));
    EXPECT_EQ(Unit.Report().FirmwareUpdates, 0);

    S->Open();
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    EXPECT_EQ(Unit.Report().FirmwareUpdates, 1) << Unit.Report().FirmwareError;
    EXPECT_EQ(Unit.Report().Programmings, 1);
}

// Each run says what it did to its own device: the unit's own firmware
// written in manual mode is an update; the next unit in the same session
// inherits nothing of it.
TEST_F(SessionTest, EachRunDescribesItsOwnUnitAndWrittenFirmwareIsAnUpdate)
{
    auto S = NewSession({"/MANUAL"});
    {
        devsim::VeltracUnit First(Class21Unit());
        Plug(First);
        Open(*S, dtVeltrac);
        ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(*S);
        const TUpdateOutcome& O = Outcomes[0];
        EXPECT_EQ(O.Kind, TOutcomeKind::Updated) << O.Message;
        EXPECT_TRUE(O.FirmwareWritten);
        EXPECT_EQ(O.Message, "the unit's firmware went from 2.40 to 2.41 (CX21 firmware 3.20); automatic "
                             "update is off; the receiver reports \"" +
                                 Old1513 + "\"");
        EXPECT_EQ(First.Report().EepromWrites, 0);
    } // unplugged after its run: nothing to report
    Pump(200);
    EXPECT_FALSE(S->UnitProcedure().Link().Active());

    auto C = FastUnit();
    C.UnitId = 654321;
    C.VersionMajor = 3;
    C.VersionMinor = 31;
    devsim::VeltracUnit Second(C);
    Plug(Second);
    S->Open();
    ASSERT_TRUE(WaitFor([&] { return Outcomes.size() == 2; }, Long)) << Describe(*S);
    const TUpdateOutcome& O = Outcomes[1];
    EXPECT_EQ(O.Kind, TOutcomeKind::ManualFinished) << O.Message;
    EXPECT_EQ(O.DeviceID, "654321");
    EXPECT_EQ(O.FirmwareBefore, "3.31");
    EXPECT_EQ(O.FirmwareAfter, "3.31");
    EXPECT_FALSE(O.FirmwareWritten);
    EXPECT_EQ(O.Message, "automatic update is off; the receiver reports \"" + Old1513 + "\"");
    S->Close();
}

// An unplugged device is noticed from its port's own hang-up, on both paths:
// the run ends at once with the ports let go and what it means for the receiver.
TEST_F(SessionTest, AnUnpluggedDeviceEndsTheRunFromItsPortsHangUp)
{
    for (const int Type : {dtVeltrac, dtExternalGPS}) {
        SCOPED_TRACE(Type == dtVeltrac ? "unit" : "module");
        std::unique_ptr<devsim::SimDevice> Device;
        devsim::Faults F;
        if (Type == dtVeltrac) {
            Device = std::make_unique<devsim::VeltracUnit>(FastUnit());
            F.HangUpAt = "eeprom:5";
        } else {
            devsim::ModuleConfig M;
            M.ReceiverVersion = Old1513;
            Device = std::make_unique<devsim::GpsModule>(M);
            F.HangUpAt = "block:2";
        }
        Device->SetFaults(F);
        Plug(*Device);
        Outcomes.clear();
        auto S = NewSession();
        bool PortsClosedAtTheEnd = false;
        QObject::connect(S.get(), &TUpdateSession::Finished, [&] {
            PortsClosedAtTheEnd =
                !S->UnitProcedure().Link().Active() && !S->ModuleProcedure().Port().Active();
        });
        Open(*S, Type);
        ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(*S);
        EXPECT_EQ(Device->Line().HangUps, 1);
        EXPECT_EQ(Outcomes[0].Kind, TOutcomeKind::PortError);
        EXPECT_EQ(Outcomes[0].Message, "COM 5 disappeared during the receiver transfer: the receiver was not "
                                       "programmed; plug the " +
                                           std::string(Type == dtVeltrac ? "unit" : "module") +
                                           " in and press Open");
        EXPECT_TRUE(PortsClosedAtTheEnd);
        EXPECT_FALSE(S->Display().DeviceTypeLocked);
        EXPECT_FALSE(S->ModuleProcedure().TimerE3.isActive());
        EXPECT_EQ(S->Display().Status, "Failed: " + Outcomes[0].Message);
        Device.reset();
    }
}
