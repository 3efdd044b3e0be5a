#include "app/UnitProcedure.h"

#include "app/ReceiverDecision.h"
#include "firmware/ReceiverImages.h"
#include "firmware/SoftUpdate.h"
#include "serial/AppException.h"
#include "serial/ComPort.h"

#include <cstdio>

namespace
{
constexpr int VersionRetryMs = 2000;
// No logger period is documented for the units: a generous listening time.
constexpr int DefaultListenMs = 3000;
// Logger status, GPS reports and version answers come far more often while a
// unit programs; the link's keep-alive period of silence means it is lost.
constexpr int SilenceMs = 10000;
} // namespace

template <typename... A> auto TUnitProcedure::Event(void (TUnitProcedure::*Method)(A...))
{
    return [this, Method](TCorvex*, A... Args) { FEvents.Step([&] { (this->*Method)(Args...); }); };
}

TUnitProcedure::TUnitProcedure(TProcedureEvents& Events)
    : TTransferToEvents(Events), FTransfer(CX, *this), FLinkEnding(CX, *this)
{
    CX.SetConfigType(cxctSTXb);
    CX.SetConfigTypeAutoDetect(false);
    CX.SetShowRawRX(false);
    CX.SetComNumber(0);
    CX.SetText_UnitNotTested("Not tested");
    CX.SetText_OriginalID("Original ID: %s");
    CX.SetText_OriginalType("Original Type: %s");
    CX.SetText_ShowRevision(true);
    CX.SetPanel_ClearOnClose(true);
    CX.OnAfterOpen = [this](TCorvex*) { FEvents.Step([&] { AfterOpen(); }); };
    CX.OnGotVersionInfo = Event(&TUnitProcedure::GotVersionInfo);
    CX.OnGPSLocation = [this](TCorvex*, const TCX_GPSLocation&) { FEvents.Step([&] { GPSLocation(); }); };
    CX.OnRequestParameter = [this](TCorvex*, int32_t Parameter, bool, const std::string& Value,
                                   const std::string&) {
        FEvents.Step([&] { RequestParameter(Parameter, Value); });
    };
    // The link names the last parameter set, whatever the answer belongs to.
    CX.OnSetParameter = [this](TCorvex*, int32_t, bool Success) {
        FEvents.Step([&] {
            if (!Ending())
                FTransfer.Answered(Success);
        });
    };
    CX.OnEEPromDataWrite = [this](TCorvex*, bool Result) {
        FEvents.Step([&] {
            if (!Ending())
                FTransfer.Answered(Result);
        });
    };
    CX.OnFastSpeed = [this](TCorvex*) {
        FEvents.Step([&] {
            if (!Ending())
                FTransfer.FastSpeedAnswered();
        });
    };
    CX.OnLoggerStatus = Event(&TUnitProcedure::LoggerStatusReceived);
    CX.OnSoftwareUpdate = Event(&TUnitProcedure::SoftwareUpdate);
    CX.OnSoftwareUpdateComplete = [this](TCorvex*) {
        FEvents.Step([&] { FEvents.Run().UnitFirmwarePulled(); });
    };
    CX.OnWakeUpAgain = [this](TCorvex*) {
        FEvents.Step([&] { FEvents.Run().Repeated(TRunRecord::TRepeat::WakeUp); });
    };
    CX.DebugCommands = [this](TCorvex*, bool Outgoing, uint8_t Cmd, const std::string& Data) {
        if (!Outgoing && tSilence.isActive())
            tSilence.start();
        FEvents.UnitFrame(Outgoing, Cmd, Data);
    };
    // An unplugged unit: the port reports the hang-up itself, at once.
    CX.Port().OnHangUp = [this](TComPort*, const std::string&) {
        FEvents.Step([&] { FEvents.PortHungUp(*this); });
    };
    CX.Port().OnLatencySetup = [this](TComPort* Port, const TLatencySetup& Setup) {
        const std::string Name =
            Port->DevicePath().empty() ? "COM " + std::to_string(Port->ComNumber()) : Port->DevicePath();
        FEvents.Trace("# " + Name + ": " + Setup.Text());
    };
    FTransfer.OnProgramStarted = [this] { FEvents.ProgramAcknowledged(); };
    FTransfer.OnRecordSentAgain = [this] { FEvents.Run().Repeated(TRunRecord::TRepeat::Record); };
    FTransfer.OnRecordsRefused = [this] { RecordsRefused(); };
    tListen.setSingleShot(true);
    tListen.setInterval(DefaultListenMs);
    connect(&tListen, &QTimer::timeout, this, [this] { FEvents.Step([&] { Listened(); }); });
    tSilence.setSingleShot(true);
    tSilence.setInterval(SilenceMs);
    connect(&tSilence, &QTimer::timeout, this, [this] {
        FEvents.Step([&] {
            if (!FEvents.Confirming() || Ending() || !CX.Active())
                return;
            // The unit may have restarted its link (back at 9600, out of framed mode) while it programmed.
            FEvents.Trace("# no word from the unit for " + std::to_string(SilenceMs / 1000) +
                          " s while its receiver is followed: waking it again at 9600");
            CX.Open();
        });
    });
    tVersionRetry.setInterval(VersionRetryMs);
    connect(&tVersionRetry, &QTimer::timeout, this, [this] { FEvents.Step([&] { VersionRetryTick(); }); });
}

TUnitProcedure::~TUnitProcedure()
{
    tVersionRetry.stop();
    FTransfer.Stop();
    FLinkEnding.Stop();
    // The link closes before the lamps it flashes go away with the front end.
    CX.Close(true);
    SetLamps(nullptr, nullptr, nullptr);
}

bool TUnitProcedure::OwnsException(const void* Owner) const
{
    return Owner && (Owner == &CX || Owner == &CX.Port());
}

// ---------------------------------------------------------------- the port

void TUnitProcedure::SetDevicePath(const std::string& Path)
{
    CX.Port().SetDevicePath(Path);
}

void TUnitProcedure::SetLamps(TCX_Lamp* Tx, TCX_Lamp* Rx, TCX_Lamp* GPSData)
{
    CX.SetPanel_Tx(Tx);
    CX.SetPanel_Rx(Rx);
    lGPSData = GPSData;
}

void TUnitProcedure::Open(int ComNumber, bool MayBeProgramming)
{
    FReceiverCannotReport = false;
    FUpdatedUnitID = -1;
    FLinkEnding.Stop();
    // Any unit may be programming when its port is opened (a tool that ended
    // while it did, an adapter that dropped out): it is only woken, since the
    // end-of-connection frames that may go first would end its link.
    (void)MayBeProgramming;
    CX.SetCloseBeforeOpen(false);
    CX.SetComNumber(ComNumber);
    CX.Open();
}

void TUnitProcedure::Close()
{
    FLinkEnding.Stop();
    CX.Close(true);
}

void TUnitProcedure::DropPort()
{
    CX.Port().Close();
}

std::string TUnitProcedure::DevicePath() const
{
    return CX.Port().DevicePath();
}

uint32_t TUnitProcedure::LineRate() const
{
    return CX.Port().LineRate();
}

// ---------------------------------------------------------------- the session's requests

void TUnitProcedure::Reset()
{
    FTransfer.ForgetUpdateParameter();
    // A transfer through the unit, and what it was waiting for, ends with it.
    FTransfer.Stop();
    FAwaitingVersion = false;
    tVersionRetry.stop();
    tListen.stop();
    tSilence.stop();
    FIdleKnown = false;
    FOffer.clear();
    FHeldVersion.clear();
    FHeldUnreadable = false;
}

void TUnitProcedure::StateEntered(TUpdateState State)
{
    // The receiver's version is asked for while the unit programs, in no other state.
    if (State != TUpdateState::Busy)
        FTransfer.StopVersionPoll();
    if (State != TUpdateState::Busy)
        tSilence.stop();
    else if (!tSilence.isActive())
        tSilence.start();
}

std::string TUnitProcedure::CannotSend() const
{
    // The unit's frame limit arrives with its unit information; without it
    // no record can be cut.
    if (!CX.Connected() || UnitChunkSize(CX.MaxLength(), CX.UnitInfo().HexType) <= 0)
        return SessionText::NoUnitConnection;
    return {};
}

bool TUnitProcedure::RecoveryPossible() const
{
    // The unit's last version information outlives its connection.
    return ReceiverDecision::RecoveryPossible(false, CX.VersionInfo().HardwareText);
}

std::string TUnitProcedure::ImageProblem(const std::string& Image, const std::string& Name) const
{
    return ReceiverDecision::ImageProblem(false, Image, Name);
}

bool TUnitProcedure::SendImage(const std::string& Image, const std::string& /*Name*/)
{
    FTransfer.Start(Image);
    return true;
}

const TProgressBarState* TUnitProcedure::CountingBar(TUpdateState State, const TUpdateDisplay& Shown) const
{
    return State == TUpdateState::TransferStart ? &Shown.pSendProgress : nullptr;
}

// The same unit, which may still be programming: nothing is sent to it but
// the questions that follow its programming to the end.
void TUnitProcedure::Follow()
{
    tListen.stop();
    FHeldVersion.clear();
    FHeldUnreadable = false;
    FEvents.ChangeState(TUpdateState::Busy);
    FTransfer.Stop();
    CX.SetLoggerReports(true);
    FTransfer.RequestVersion();
}

void TUnitProcedure::ProgrammingEnded()
{
    // Ask now rather than at the next poll.
    if (FEvents.Shown().UpdateState == TUpdateState::Busy && !FTransfer.ProgramStartPending() &&
        CX.Connected())
        FTransfer.RequestVersion();
}

void TUnitProcedure::LetGo()
{
    StartEnding(TLinkEnding::THow::TurnOff);
}

void TUnitProcedure::RunEnded(const TUpdateOutcome& Outcome)
{
    // A confirmation that ran out asks nothing more; its link would go on at
    // a rate the unit may have left (it falls back to 9600 by itself).
    if (Outcome.Kind == TOutcomeKind::NotConfirmed)
        Close();
}

bool TUnitProcedure::TurnOff()
{
    // A unit still being woken cannot hear the turn-off: woken on, it would
    // be switched on and left so.
    if (!CX.Connected())
        return false;
    StartEnding(TLinkEnding::THow::TurnOff);
    return true;
}

bool TUnitProcedure::EndLink()
{
    if (!CX.Connected())
        return true;
    // A turn-off on its way (up to date, or confirmed) ends the link by its answer.
    if (FLinkEnding.How() == TLinkEnding::THow::TurnOff) {
        FLinkEnding.WatchAgain();
        return false;
    }
    StartEnding(TLinkEnding::THow::Close);
    return false;
}

void TUnitProcedure::StartEnding(TLinkEnding::THow How)
{
    FTransfer.Stop();
    tVersionRetry.stop();
    tSilence.stop();
    FAwaitingVersion = false;
    FLinkEnding.Start(How);
}

// "Off": the unit's answer ended the link (or it did not answer). How stays
// for an end of connection asked later.
void TUnitProcedure::LinkEnded()
{
    FLinkEnding.StopWatching();
    FEvents.LinkEnded();
}

void TUnitProcedure::RecordsRefused()
{
    tListen.start();
}

// ---------------------------------------------------------------- what the transfer shows

// ---------------------------------------------------------------- link events

void TUnitProcedure::AfterOpen()
{
    if (Ending())
        return;
    // Woken again while its receiver is followed: what is shown of it stays.
    if (!FEvents.Confirming())
        FEvents.LinkOpened();
    // A lost reply would leave the update waiting for ever: ask until it comes.
    FAwaitingVersion = true;
    tVersionRetry.start();
    CX.RequestVersionInfo(false);
}

void TUnitProcedure::VersionRetryTick()
{
    if (!FAwaitingVersion || !CX.Connected()) {
        tVersionRetry.stop();
        return;
    }
    CX.RequestVersionInfo(false);
}

void TUnitProcedure::GotVersionInfo(const TCX_VersionInfo& Info)
{
    // Only the answer that was asked for: a late duplicate of a repeated
    // question must not start the chain a second time.
    if (!FAwaitingVersion || Ending())
        return;
    FAwaitingVersion = false;
    tVersionRetry.stop();

    const TCX_UnitInfo& Unit = CX.UnitInfo();
    TUpdateDisplay& D = FEvents.Shown();
    D.vUnitID = std::to_string(Unit.UnitID);
    D.vVersion = Unit.VersionText;
    D.vClass = CX_UnitModelName(Info.Class);
    D.vVersionInfo = Info.HardwareText;
    D.vHWVer = CX_HardwareCodeName(Info.HardwareRev);
    FEvents.Identified();
    // Woken again while its receiver is followed: the same confirmation goes on.
    if (FEvents.Confirming()) {
        Follow();
        return;
    }
    if (FEvents.FollowKept())
        return;
    // A unit that programs its receiver tells so by its logger status, which
    // it sends only once asked to: only questions until it was listened to.
    CX.SetLoggerReports(true);
    const std::string Title =
        FUnitFirmware ? FindNewestSoftware(*FUnitFirmware, Info.Class, Info.Hardware, Info.HardwareRev, 0, 0)
                      : std::string();
    FOffer = Title.empty() || Unit.UnitID == FUpdatedUnitID ? std::string() : Title;
    // Its receiver's version may be read meanwhile (the questions keep its
    // link alive); what it means waits for the listening time.
    if (FOffer.empty())
        CX.SetGPSReports(true, false);
    tListen.start();
}

void TUnitProcedure::Listened()
{
    if (Ending() || !CX.Connected())
        return;
    if (FEvents.Shown().UpdateState == TUpdateState::TransferStart) {
        // Records were refused and no logger status came: the unit is not
        // programming. Three such rounds and the unit refuses the image.
        if (FTransfer.RefusalRounds() >= 3)
            FEvents.Failed(TOutcomeKind::Failed, "the unit refuses EEPROM writes");
        else
            FTransfer.Resume();
        return;
    }
    FIdleKnown = true;
    if (FOffer.empty()) {
        if (FHeldUnreadable)
            FEvents.UnreadableReceiver();
        if (!FHeldVersion.empty())
            FEvents.ReceiverReported(std::exchange(FHeldVersion, std::string()));
        return;
    }
    const std::string Title = std::exchange(FOffer, std::string());
    FUpdatedUnitID = CX.UnitInfo().UnitID;
    CX.SelectSoftware(*FUnitFirmware, Title);
    CX.StartSoftwareUpdate(CX.UnitInfo().VersionText == "2.31o");
    FEvents.ChangeState(TUpdateState::UnitFirmware);
    FEvents.Shown().vGPSCurrent = SessionText::UpdatingUnit + Title;
    FEvents.Run().FirmwareStarting(Title);
}

void TUnitProcedure::SoftwareUpdate(int32_t Block, int32_t Percent)
{
    FEvents.Run().FirmwareBlockServed(Block);
    FEvents.Shown().pUpdateProgress.Set(Percent, 100);
    FEvents.Shown().vProgress = std::to_string(Percent) + "%";
}

void TUnitProcedure::GPSLocation()
{
    if (lGPSData)
        lGPSData->Trigger();
    if (Ending())
        return;
    const TUpdateState State = FEvents.Shown().UpdateState;
    if (State == TUpdateState::Idle)
        CX.RequestParameter(FTransfer.GPSReady() > 0 ? TUnitTransfer::ParamGPSVersion
                                                     : TUnitTransfer::ParamGPSUpdate);
    else if (State == TUpdateState::Busy && !FTransfer.ProgramStartPending())
        FTransfer.RequestVersion();
}

void TUnitProcedure::RequestParameter(int32_t Parameter, const std::string& Value)
{
    if (Ending())
        return;
    const TUpdateState State = FEvents.Shown().UpdateState;
    if (Parameter == TUnitTransfer::ParamGPSUpdate) {
        if (FTransfer.TakeUpdateParameter(Value))
            FReceiverCannotReport = FTransfer.GPSReady() <= 0;
        else
            FEvents.Shown().vGPSCurrent = SessionText::NotSupported;
        // Once a transfer has begun no further command may go out between a
        // send and its acknowledgement, which the link reads by the last
        // command; logger reports are on by then.
        const bool Idle = State == TUpdateState::Idle;
        if (Idle)
            CX.SetLoggerReports(true);
        if (Value.empty())
            FEvents.Failed(TOutcomeKind::NotSupported, "the unit does not support receiver updates");
        else if (Idle && FReceiverCannotReport && !FIdleKnown)
            FHeldUnreadable = true;
        else if (Idle && FReceiverCannotReport)
            FEvents.UnreadableReceiver();
    } else if (Parameter == TUnitTransfer::ParamGPSVersion && Value.empty()) {
        // A unit that said its receiver can report gives an empty answer
        // while it programs, or between two answers: never a reason to send
        // anything; it is asked again.
        if (State == TUpdateState::Idle && FTransfer.GPSReady() > 0)
            FTransfer.RequestVersion();
    } else if (Parameter == TUnitTransfer::ParamGPSVersion) {
        // A second answer may come while records are being written: then no command.
        if (State == TUpdateState::Idle || (State == TUpdateState::Busy && !FTransfer.ProgramStartPending()))
            CX.SetGPSReports(false, false);
        if (State == TUpdateState::Idle && !FIdleKnown && !FEvents.Confirming())
            FHeldVersion = Value;
        else
            FEvents.ReceiverReported(Value);
    }
}

void TUnitProcedure::LoggerStatusReceived(const TCX_LoggerStatus& Status)
{
    // Nothing of this run makes the unit program: it was programming already
    // (or took a refused record's place in a programming of its own).
    const TUpdateState State = FEvents.Shown().UpdateState;
    if (!FEvents.Confirming() && !Ending() &&
        (State == TUpdateState::Idle || State == TUpdateState::TransferStart)) {
        tListen.stop();
        FEvents.ProgrammingFound();
    }
    if (FEvents.Shown().UpdateState == TUpdateState::Busy && !Ending())
        FTransfer.LoggerStatus();
    if (Ending())
        FEvents.Progress();
    else
        FEvents.LoggerStatus(Status.Current, Status.Total);
    TProgressBarState& Bar = FEvents.Shown().pUpdateProgress;
    Bar.Set(Status.Current, Status.Total);
    FEvents.Shown().vProgress = Status.Current == 0 ? "" : std::to_string(Bar.Percent()) + "%";
}
