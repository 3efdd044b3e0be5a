// The External GPS module, end to end against the simulated module: its
// identity, the controller update below 2.00, the receiver's version and the
// block transfer at 57600 baud, restarts, and the exact frames on the wire.
#include "AppTestSupport.h"
#include "SessionFixture.h"
#include "firmware/MyCrypt.h"
#include "link/ModuleFrames.h"
#include "tools/devsim/GpsModule.h"
#include "tools/devsim/ReceiverImage.h"

#include <algorithm>

namespace
{

devsim::ModuleConfig FastModule()
{
    devsim::ModuleConfig C;
    C.ReceiverVersion = Old1513;
    C.VersionAfterProgramming = New1513;
    C.ProgrammingMs = 300;
    // The quick end the session is built for: empty answer while programming, back to
    // 9600 right after the last status, wrong-rate bytes lost.
    C.AnswerWhileProgramming = devsim::BusyAnswer::Empty;
    C.LastAckWaitMs = 0;
    C.WrongRateGarbage = false;
    C.RestartMs = 200;
    C.PrepareDots = 5;
    C.DotIntervalMs = 20;
    C.HardwareId = 0x0E47; // the demo controller firmware's
    return C;
}

// Every frame the session wrote to the module, in order.
struct TWire {
    std::vector<std::string> Out;
    void Attach(TUpdateSession& S)
    {
        auto Previous = S.Log.OnModuleFrame;
        S.Log.OnModuleFrame = [this, Previous](TUpdateSession* Sender, bool Outgoing, const std::string& Bytes) {
            if (Previous)
                Previous(Sender, Outgoing, Bytes);
            if (Outgoing)
                Out.push_back(Bytes);
        };
    }
    int CountOf(const std::string& Frame) const
    {
        return static_cast<int>(std::count(Out.begin(), Out.end(), Frame));
    }
};

// The controller updated itself once, with the firmware the tool carries, block for block.
void ExpectControllerUpdatedOnce(devsim::GpsModule& Module, const TUpdateSession& S)
{
    const auto R = Module.Report();
    EXPECT_EQ(R.ControllerUpdates, 1) << R.ControllerError;
    EXPECT_EQ(R.ControllerFailures, 0);
    const devsim::PulledFirmware Pulled = Module.Firmware();
    EXPECT_TRUE(Pulled.Error.empty()) << Pulled.Error;
    EXPECT_EQ(Pulled.HardwareId, 0x0E47u);
    ASSERT_FALSE(Pulled.Blocks.empty());
    for (const auto& [Number, Data] : Pulled.Blocks)
        EXPECT_TRUE(Data == S.ModuleProcedure().ControllerFirmware().BlockOf(Number)) << "block " << Number;
}

} // namespace

TEST_F(SessionTest, ModuleReceiverUpdatedWithTheArchiveImage)
{
    devsim::GpsModule Module(FastModule());
    Plug(Module);
    auto S = NewSession();
    TWire Wire;
    Wire.Attach(*S);
    std::vector<std::string> Progress;
    QObject::connect(S.get(), &TUpdateSession::DisplayChanged, [&] {
        if (Progress.empty() || Progress.back() != S->Display().vProgress)
            Progress.push_back(S->Display().vProgress);
    });
    Open(*S, dtExternalGPS);

    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Busy; }, Short)) << Describe(*S);
    EXPECT_EQ(S->Display().vUnitID, "00C0FFEE");
    EXPECT_EQ(S->Display().vVersion, "2.10");
    EXPECT_EQ(S->Display().vClass, "EGPS-3339");
    EXPECT_EQ(S->Display().vGPSNeeded, New1513);
    EXPECT_EQ(S->ModuleProcedure().Port().BaudRate(), br57600);
    EXPECT_EQ(S->Display().pSendProgress.Position, S->Display().pSendProgress.Maximum);

    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    const auto R = Module.Report();
    EXPECT_EQ(R.Programmings, 1) << R.TransferError;
    EXPECT_EQ(R.TransferFailures, 0);
    const std::string Expected = ArchiveItem(S->Images().Archive(), New1513 + ".bin");
    ASSERT_FALSE(Expected.empty());
    EXPECT_TRUE(Module.ReceiverImage() == Expected) << "receiver image differs from the archive's";
    EXPECT_EQ(S->Display().vGPSCurrent, New1513);
    EXPECT_EQ(S->ModuleProcedure().Port().BaudRate(), br9600);

    // The frames: identify and "Q" exactly, "R" with the page count, one raw
    // acknowledgement per status, a block for every 2048 bytes.
    ASSERT_FALSE(Wire.Out.empty());
    EXPECT_EQ(Hex(Wire.Out[0]), "3C 00 2C 01 1D 4A 3E");
    EXPECT_GE(Wire.CountOf(Bytes({0x3C, 0x00, 0x2C, 0xFA, 0x51, 0x77, 0x3E})), 2);
    const int Pages = static_cast<int>((Expected.size() + 255) / 256);
    EXPECT_EQ(
        Wire.CountOf(EscapeModuleFrame(ModuleCommandBody(0xFA, Bytes({'R', Pages >> 8, Pages & 0xFF})))), 1);
    // One acknowledgement for "R" 01 and one per block status; the last may
    // meet the module already back at 9600 baud.
    const int Acks = Wire.CountOf(Bytes({0x3C, 0xFF, 0xFF, 0xFF, 0x3E}));
    EXPECT_EQ(R.BlocksReceived, static_cast<int>((Expected.size() + 2047) / 2048));
    EXPECT_EQ(Acks, 1 + R.BlocksReceived);
    EXPECT_GE(R.RawAcks, Acks - 1);

    EXPECT_NE(std::find(Progress.begin(), Progress.end(), "Waiting"), Progress.end());
    EXPECT_NE(std::find(Progress.begin(), Progress.end(), "Preparing"), Progress.end());

    ASSERT_EQ(Outcomes.size(), 1u);
    const TUpdateOutcome& O = Outcomes[0];
    EXPECT_EQ(O.Kind, TOutcomeKind::Updated) << O.Message;
    EXPECT_EQ(O.Device, "egps");
    EXPECT_EQ(O.DeviceID, "00C0FFEE");
    EXPECT_EQ(O.FirmwareBefore, "2.10");
    EXPECT_EQ(O.ReceiverBefore, Old1513);
    EXPECT_EQ(O.ReceiverAfter, New1513);
    EXPECT_EQ(O.ImageSha256, Sha256Hex(Expected));
    EXPECT_TRUE(O.Transferred);
    // Exactly what the tool wrote to the module.
    std::size_t Written = 0;
    for (const std::string& F : Wire.Out)
        Written += F.size();
    EXPECT_EQ(O.BytesSent, Written);
}

// A controller found in its loader asks for its firmware by itself: the first
// request is served while nothing is decided yet, and from then on every byte
// (the rest of that read too) goes to the block feed, none to the frame reader.
TEST_F(SessionTest, ModuleLoaderAskingByItselfIsServedAtOnce)
{
    auto C = FastModule();
    C.StartInLoader = true;
    C.VersionMajor = 1;
    C.VersionMinor = 50;
    C.ReceiverVersion = CurrentGG; // nothing to do for the receiver: the controller alone was written
    devsim::GpsModule Module(C);
    Plug(Module);
    auto S = NewSession();
    TWire Wire;
    Wire.Attach(*S);
    Open(*S, dtExternalGPS);

    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::ModuleFirmware; }, Short))
        << Describe(*S);
    // The module reports the version of the firmware it received.
    ASSERT_TRUE(WaitFor([&] { return S->Display().vVersion == "2.03"; }, Long)) << Describe(*S);
    EXPECT_EQ(Wire.CountOf(Bytes({0x3C, 0x00, 0x2C, 0x7F, 0x1D, 0xC8, 0x3E})), 0) << "never asked to start";
    ExpectControllerUpdatedOnce(Module, *S);
    ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(*S);
    // Firmware was written: an update, with nothing known of the controller before.
    const TUpdateOutcome& O = Outcomes.back();
    EXPECT_EQ(O.Kind, TOutcomeKind::Updated) << O.Message;
    EXPECT_TRUE(O.FirmwareBeforeUnknown);
    EXPECT_EQ(O.FirmwareBefore, "loader");
    EXPECT_EQ(O.FirmwareAfter, "2.03");
    EXPECT_TRUE(O.Message.starts_with("the module's controller was given its firmware from its loader and "
                                      "reports 2.03; the receiver already runs"))
        << O.Message;
}

TEST_F(SessionTest, ModuleControllerThatReportsAnotherVersionAfterItsUpdateFails)
{
    auto C = FastModule();
    C.VersionMajor = 1;
    C.VersionMinor = 99;
    C.UpdatedMajor = 2; // whatever it was sent
    C.UpdatedMinor = 0;
    devsim::GpsModule Module(C);
    Plug(Module);
    auto S = NewSession();
    Open(*S, dtExternalGPS);
    ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(*S);
    EXPECT_EQ(Outcomes[0].Kind, TOutcomeKind::Failed);
    EXPECT_TRUE(Outcomes[0].Message.starts_with("the controller reports 2.00 after its update; the tool "
                                                "carries 2.03"))
        << Outcomes[0].Message;
    Pump(300);
    EXPECT_EQ(Module.Report().ControllerUpdates, 1);
    EXPECT_EQ(Module.Report().Transfers, 0) << "no receiver image after a failed controller update";
}

TEST_F(SessionTest, ModuleControllerBelow200IsUpdatedFirst)
{
    auto C = FastModule();
    C.VersionMajor = 1;
    C.VersionMinor = 99;
    C.UpdatedMajor = 2;
    C.UpdatedMinor = 3;
    devsim::GpsModule Module(C);
    Plug(Module);
    auto S = NewSession();
    TWire Wire;
    Wire.Attach(*S);
    Open(*S, dtExternalGPS);

    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::ModuleFirmware; }, Short))
        << Describe(*S);
    EXPECT_EQ(S->Display().vVersion, "1.99");
    EXPECT_EQ(S->Display().vGPSCurrent, "Updating EGPS module");
    EXPECT_FALSE(S->ModuleProcedure().TimerE3.isActive());
    ASSERT_GE(Wire.Out.size(), 2u);
    EXPECT_EQ(Hex(Wire.Out[1]), "3C 00 2C 7F 1D C8 3E");
    ASSERT_TRUE(WaitFor([&] { return S->Display().pUpdateProgress.Position > 0; }, Short));

    // The controller restarts on its new firmware; the connection starts again.
    ASSERT_TRUE(WaitFor([&] { return S->Display().vVersion == "2.03"; }, Long)) << Describe(*S);
    ExpectControllerUpdatedOnce(Module, *S);

    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    const auto R = Module.Report();
    EXPECT_EQ(R.Programmings, 1) << R.TransferError;
    EXPECT_EQ(Module.ReceiverImage(), ArchiveItem(S->Images().Archive(), New1513 + ".bin"));
    EXPECT_EQ(S->Display().vGPSCurrent, New1513);
    // The record: the controller's update as a phase of its own; identified
    // again after it and after the last block; nothing pulled or sent twice.
    ASSERT_EQ(Outcomes.size(), 1u);
    const TUpdateOutcome& O = Outcomes[0];
    EXPECT_TRUE(O.Phases.OwnFirmware && O.Phases.ReceiverTransfer && O.Phases.Confirmation);
    EXPECT_EQ(O.Phases.Unfinished, TRunPhase::None);
    EXPECT_EQ(O.Repeats.Restarts, 2);
    EXPECT_EQ(O.Repeats.Blocks, 0);
}

TEST_F(SessionTest, ModuleUpToDateAndManual)
{
    auto C = FastModule();
    C.ReceiverVersion = CurrentGG;
    devsim::GpsModule Module(C);
    Plug(Module);
    auto S = NewSession();
    Open(*S, dtExternalGPS);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Short)) << Describe(*S);
    EXPECT_EQ(S->Display().vGPSCurrent, CurrentGG);
    EXPECT_EQ(S->Display().vGPSNeeded, CurrentGG);
    EXPECT_EQ(Module.Report().Transfers, 0);
    S->Close();

    auto M = NewSession({"/MANUAL", "ignored"});
    Open(*M, dtExternalGPS);
    ASSERT_TRUE(WaitFor([&] { return M->UpdateState() == TUpdateState::Finished; }, Short)) << Describe(*M);
    EXPECT_EQ(M->Display().vGPSNeeded, "");
    EXPECT_EQ(Module.Report().Transfers, 0);
    M->Close();
}

TEST_F(SessionTest, ModuleStatus02StartsTheConnectionAgain)
{
    devsim::GpsModule Module(FastModule());
    Plug(Module);
    auto S = NewSession();
    Open(*S, dtExternalGPS);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Busy; }, Short)) << Describe(*S);
    const int Identifies = Module.Report().Identifies;
    devsim::Faults F;
    F.RefuseWrites = 1;
    Module.SetFaults(F);
    ASSERT_TRUE(WaitFor([&] { return Module.Report().BlocksRefused >= 1; }, Short));
    ASSERT_TRUE(WaitFor([&] { return Module.Report().Identifies > Identifies; }, Short));
    Module.SetFaults({});
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    EXPECT_EQ(Module.Report().Programmings, 1);
    EXPECT_EQ(Module.Report().Transfers, 2);
    EXPECT_EQ(Module.ReceiverImage(), ArchiveItem(S->Images().Archive(), New1513 + ".bin"));
}

TEST_F(SessionTest, ModuleSilentAfterTheLastBlockIsStillConfirmed)
{
    auto C = FastModule();
    C.StatusAfterLastBlock = false;
    devsim::GpsModule Module(C);
    Plug(Module);
    auto S = NewSession();
    Open(*S, dtExternalGPS);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    EXPECT_EQ(Module.Report().Programmings, 1);
    EXPECT_EQ(Module.Report().Transfers, 1);
    EXPECT_EQ(S->Display().vGPSCurrent, New1513);
    EXPECT_EQ(S->Display().vGPSNeeded, New1513);
}

// Modules that drop out of a transfer without a refusal: the tool must not
// wait (or re-send) for ever, but start again from identification.
TEST_F(SessionTest, ModuleThatLeavesTheTransferIsFollowedFromIdentification)
{
    auto C = FastModule();
    C.TransferTimeoutMs = 3000;
    devsim::GpsModule Module(C);
    Plug(Module);
    auto S = NewSession();
    TWire Wire;
    Wire.Attach(*S);
    Open(*S, dtExternalGPS);
    ASSERT_TRUE(WaitFor([&] { return S->Display().pUpdateProgress.Position >= 2; }, Short)) << Describe(*S);
    // From now on no block reaches the module: it gives up and goes back to 9600.
    devsim::Faults F;
    F.DropNamed = "block";
    F.DropNamedCount = -1;
    Module.SetFaults(F);
    const int Identifies = Module.Report().Identifies;
    ASSERT_TRUE(WaitFor([&] { return Module.Report().TransferFailures >= 1; }, Short)) << Describe(*S);
    ASSERT_TRUE(WaitFor([&] { return Module.Report().Identifies > Identifies; }, Short)) << Describe(*S);
    Module.SetFaults({});
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    EXPECT_EQ(Module.Report().Transfers, 2);
    EXPECT_EQ(Module.Report().Programmings, 1);
    EXPECT_EQ(Module.ReceiverImage(), ArchiveItem(S->Images().Archive(), New1513 + ".bin"));
    EXPECT_EQ(S->Display().vGPSCurrent, New1513);
    // The stalled block went out a few times, not for ever (and once more in
    // the second transfer).
    int MostSent = 0;
    for (const std::string& Frame : Wire.Out)
        if (Frame.size() > 5 && Frame.compare(0, 4, "\x3C\x00\x2C\xFA", 4) == 0 &&
            (Frame[4] == 'S' || Frame[4] == 'T'))
            MostSent = std::max(MostSent, Wire.CountOf(Frame));
    EXPECT_GE(MostSent, 2);
    EXPECT_LE(MostSent, 10) << "a block re-sent without end";
}

TEST_F(SessionTest, ModuleThatNeverHeardTheImageStartIsAskedAgain)
{
    devsim::GpsModule Module(FastModule());
    Plug(Module);
    // Block 0 ("R" and the page count) is lost once: the module stays idle at
    // 9600 while the tool waits at 57600 for a module that is not preparing.
    devsim::Faults F;
    F.DropNamed = "R";
    Module.SetFaults(F);
    auto S = NewSession();
    Open(*S, dtExternalGPS);
    ASSERT_TRUE(WaitFor([&] { return Module.Line().DroppedCommands >= 1; }, Short)) << Describe(*S);
    const int Identifies = Module.Report().Identifies;
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    EXPECT_GT(Module.Report().Identifies, Identifies) << "identification started again";
    EXPECT_EQ(Module.Report().Transfers, 1);
    EXPECT_EQ(Module.ReceiverImage(), ArchiveItem(S->Images().Archive(), New1513 + ".bin"));
    EXPECT_EQ(S->Display().vGPSCurrent, New1513);
}

TEST_F(SessionTest, ModuleRecoveryOfAReceiverThatCannotReport)
{
    auto C = FastModule();
    C.ReceiverReadable = false;
    C.VersionAfterProgramming = CurrentGG;
    devsim::GpsModule Module(C);
    Plug(Module);
    auto S = NewSession();
    Open(*S, dtExternalGPS);
    // An empty answer is no version: "Q" is asked again and nothing is decided.
    ASSERT_TRUE(WaitFor([&] { return Module.Report().VersionQuestions >= 2; }, Short));
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);
    EXPECT_EQ(S->Display().vGPSCurrent, "");

    S->Recover();
    EXPECT_EQ(S->Display().vGPSCurrent, "Firmware recovery");
    EXPECT_EQ(S->Display().vGPSNeeded, CurrentGG);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    EXPECT_EQ(Module.ReceiverImage(), ArchiveItem(S->Images().Archive(), CurrentGG + ".bin"));
    EXPECT_EQ(S->Display().vGPSCurrent, CurrentGG);
}

TEST_F(SessionTest, ModuleCloseDuringTheBlocksThenAgain)
{
    devsim::GpsModule Module(FastModule());
    Plug(Module);
    auto S = NewSession();
    Open(*S, dtExternalGPS);
    ASSERT_TRUE(WaitFor(
        [&] { return S->UpdateState() == TUpdateState::Busy && Module.Report().BlocksReceived >= 3; }, Short))
        << Describe(*S);
    S->Close();
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);
    EXPECT_FALSE(S->ModuleProcedure().Port().Active());
    EXPECT_FALSE(S->ModuleProcedure().TimerE3.isActive());
    EXPECT_FALSE(S->Display().DeviceTypeLocked);
    EXPECT_TRUE(S->ModuleProcedure().Transfer().Blocks().empty());
    Pump(300);
    const int Blocks = Module.Report().BlocksReceived;
    Pump(2300);
    EXPECT_EQ(Module.Report().BlocksReceived, Blocks);

    S->Open();
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    EXPECT_EQ(Module.Report().Programmings, 1);
    EXPECT_EQ(Module.ReceiverImage(), ArchiveItem(S->Images().Archive(), New1513 + ".bin"));
}

TEST_F(SessionTest, ModuleOffDuringTheBlocksStartsOverAtIdentification)
{
    auto C = FastModule();
    C.TransferTimeoutMs = 3000; // the module gives the broken-off transfer up sooner
    devsim::GpsModule Module(C);
    Plug(Module);
    auto S = NewSession();
    Open(*S, dtExternalGPS);
    ASSERT_TRUE(WaitFor(
        [&] { return S->UpdateState() == TUpdateState::Busy && Module.Report().BlocksReceived >= 2; }, Short))
        << Describe(*S);
    const int Identifies = Module.Report().Identifies;
    S->TurnOff();
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);
    EXPECT_EQ(S->Display().vVersion, "");
    EXPECT_FALSE(S->Display().DeviceTypeLocked) << "the run has ended";
    EXPECT_TRUE(S->ModuleProcedure().Port().Active());
    EXPECT_EQ(S->ModuleProcedure().Port().BaudRate(), br9600);
    // The port stays open; its timer identifies the module again, at 9600
    // baud, and the update runs once more from the start.
    ASSERT_TRUE(WaitFor([&] { return Module.Report().Identifies > Identifies; }, Short));
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    EXPECT_EQ(Module.Report().Programmings, 1);
    EXPECT_EQ(Module.Report().Transfers, 2);
    S->Close();
}

TEST_F(SessionTest, ModuleRefusesAnImageShorterThanItsHeader)
{
    devsim::GpsModule Module(FastModule());
    Plug(Module);
    auto S = NewSession({"/manual"});
    TWire Wire;
    Wire.Attach(*S);
    Open(*S, dtExternalGPS);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Short)) << Describe(*S);
    const TUpdateDisplay Before = S->Display();
    const std::size_t Sent = Wire.Out.size();

    FileToChoose = WriteTempFile("short.bin", std::string(447, 'A'));
    S->SendImage();
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], SessionText::ImageTooShort);
    // Only the status line changes: it says the image was refused.
    TUpdateDisplay After = S->Display();
    EXPECT_TRUE(After.Status.starts_with("Failed: ")) << After.Status;
    After.Status = Before.Status;
    After.StatusStep = Before.StatusStep;
    EXPECT_TRUE(After == Before);
    Pump(200);
    for (std::size_t i = Sent; i < Wire.Out.size(); ++i)
        EXPECT_EQ(Wire.Out[i].find("\xFA\x52"), std::string::npos) << "an image start went out";
    EXPECT_EQ(Module.Report().Transfers, 0);
    S->Close();
}

// A chosen file's version is not known to the tool: only the module itself
// can show that it programmed it. Its answer changing from the old version to
// another does; the same version before and after, without a status 02, does not.
TEST_F(SessionTest, ModuleCustomImage)
{
    auto C = FastModule();
    C.VersionAfterProgramming.clear(); // the image's own version text
    C.AnswerWhileProgramming = devsim::BusyAnswer::OldVersion;
    devsim::GpsModule Module(C);
    Plug(Module);
    auto S = NewSession({"/manual"});
    S->SetConfirmTimeout(3000);
    Open(*S, dtExternalGPS);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Short)) << Describe(*S);

    const std::string Same = devsim::MakeMediaTekImage(Old1513, 5000, 12);
    FileToChoose = WriteTempFile("same-version.bin", Same);
    S->SendImage();
    ASSERT_TRUE(WaitFor([&] { return Outcomes.size() == 2; }, Long)) << Describe(*S);
    EXPECT_EQ(Outcomes[1].Kind, TOutcomeKind::NotConfirmed) << Outcomes[1].Message;
    EXPECT_EQ(Module.Report().Programmings, 1);
    EXPECT_EQ(Module.Report().Transfers, 1) << "not sent again";

    const std::string Version = "AXN_9.9_7777_20990101,9999,MC-1513,9.9";
    const std::string Image = devsim::MakeMediaTekImage(Version, 9000, 11);
    FileToChoose = WriteTempFile("custom-module.bin", Image);
    S->SendImage();
    EXPECT_TRUE(Errors.empty());
    EXPECT_EQ(S->Display().vGPSNeeded, "custom-module");
    EXPECT_EQ(S->ModuleProcedure().Transfer().Blocks().size(), 1u + 5u);
    ASSERT_TRUE(WaitFor([&] { return Module.Report().Programmings == 2; }, Long)) << Describe(*S);
    EXPECT_EQ(Module.ReceiverImage(), Image);
    // The module is identified again and reports the image's version; manual mode ends there.
    ASSERT_TRUE(WaitFor([&] { return Outcomes.size() == 3; }, Long)) << Describe(*S);
    EXPECT_EQ(Outcomes[2].Kind, TOutcomeKind::Updated) << Outcomes[2].Message;
    EXPECT_EQ(S->Display().vGPSCurrent, Version);
}
