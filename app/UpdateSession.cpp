#include "app/UpdateSession.h"

#include "app/SessionStatus.h"

#include "firmware/Keys.h"
#include "firmware/MyCrypt.h"
#include "firmware/ReceiverImages.h"
#include "firmware/Resources.h"
#include "serial/AppException.h"
#include "serial/ComPortCore.h"
#include "serial/PortMap.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

#include <QFile>

namespace
{

constexpr int32_t ParamGPSUpdate = 65352;  // address, readiness, container letter
constexpr int32_t ParamGPSVersion = 65354; // the receiver's version text

constexpr int WriteRetryMs = 750;
constexpr int ModuleRetryMs = 2000;
constexpr int VersionRetryMs = 2000;
constexpr int GPSVersionPollMs = 2000;
constexpr int PreparingDots = 1189;
// Module periods (2 s each) without a sign before its first block status, and
// repeats of one unanswered block (a module waits about 15 s for a block),
// before identification starts again.
constexpr int ModuleQuietPeriods = 5;
constexpr int ModuleBlockRepeats = 7;
// Far longer than a unit takes to answer; a send this old is taken as unanswered.
constexpr int64_t AnswerLifetimeMs = 1500;
constexpr int64_t ProgramStartLifetimeMs = 4000;
// Before the unit is switched off or let go: no answer due and none for
// QuietLineMs, waited for at most SettleMaxMs; then its answer to that last
// command ends the link, waited for at most CloseWaitMs.
constexpr int QuietLineMs = 250;
constexpr int SettleMaxMs = 1500;
constexpr int CloseWaitMs = 3000;
constexpr int EndingTickMs = 50;
// When the last block went out unanswered the module may be programming or
// may never have had it: the old version for this long means it never did.
constexpr int UncertainConfirmMs = 30000;
// The status line says a freshly opened device is silent after 10 s, then every 30 s.
constexpr int FirstSilenceMs = 10000;
constexpr int SilenceStepMs = 30000;

bool IsPortError(const std::exception& E)
{
    return dynamic_cast<const EComPortError*>(&E) || dynamic_cast<const EComPortCoreError*>(&E);
}

std::string Quoted(const std::string& Text)
{
    return "\"" + Text + "\"";
}

std::string ResourceBytes(std::string_view Name)
{
    const auto Bytes = FindResource(Name);
    return Bytes ? std::string(*Bytes) : std::string();
}

} // namespace

const char* OutcomeName(TOutcomeKind Kind)
{
    switch (Kind) {
    case TOutcomeKind::Updated:
        return "updated";
    case TOutcomeKind::UpToDate:
        return "up-to-date";
    case TOutcomeKind::NotSupported:
        return "not-supported";
    case TOutcomeKind::ManualFinished:
        return "manual";
    case TOutcomeKind::NotConfirmed:
        return "not-confirmed";
    case TOutcomeKind::Failed:
        return "failed";
    case TOutcomeKind::PortError:
        return "port-error";
    case TOutcomeKind::BadImage:
        return "bad-image";
    case TOutcomeKind::TimedOut:
        return "timed-out";
    case TOutcomeKind::Interrupted:
        return "interrupted";
    }
    return "failed";
}

void TProgressBarState::SetMaximum(int Value)
{
    Maximum = Value < 0 ? 0 : Value;
    SetPosition(Position);
}

void TProgressBarState::SetPosition(int Value)
{
    Position = Value < 0 ? 0 : (Value > Maximum ? Maximum : Value);
}

TUpdateSession::TUpdateSession(const std::vector<std::string>& Arguments, QObject* Parent)
    : QObject(Parent), cCom1(MX.Port())
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
    CX.OnAfterOpen = [this](TCorvex* S) { Entry(true, [&] { CXAfterOpen(S); }); };
    CX.OnGotVersionInfo = [this](TCorvex* S, const TCX_VersionInfo& I) {
        Entry(true, [&] { CXGotVersionInfo(S, I); });
    };
    CX.OnGPSLocation = [this](TCorvex* S, const TCX_GPSLocation& L) {
        Entry(true, [&] { CXGPSLocation(S, L); });
    };
    CX.OnRequestParameter = [this](TCorvex* S, int32_t P, bool Valid, const std::string& V,
                                   const std::string& H) {
        Entry(true, [&] { CXRequestParameter(S, P, Valid, V, H); });
    };
    CX.OnSetParameter = [this](TCorvex* S, int32_t P, bool Success) {
        Entry(true, [&] { CXSetParameter(S, P, Success); });
    };
    CX.OnEEPromDataWrite = [this](TCorvex* S, bool R) { Entry(true, [&] { CXEEPromDataWrite(S, R); }); };
    CX.OnLoggerStatus = [this](TCorvex* S, const TCX_LoggerStatus& St) {
        Entry(true, [&] { CXLoggerStatus(S, St); });
    };
    CX.OnFastSpeed = [this](TCorvex* S) { Entry(true, [&] { CXFastSpeed(S); }); };
    CX.OnSoftwareUpdate = [this](TCorvex* S, int32_t B, int32_t P) {
        Entry(true, [&] { CXSoftwareUpdate(S, B, P); });
    };
    // The unit asked for the end block: it restarts on what it pulled.
    CX.OnSoftwareUpdateComplete = [this](TCorvex*) {
        Entry(true, [&] {
            if (FRun.Active)
                FRun.UnitFirmwareSent = true;
        });
    };

    CX.DebugCommands = [this](TCorvex*, bool Outgoing, uint8_t Cmd, const std::string& Data) {
        if (OnUnitFrame)
            OnUnitFrame(this, Outgoing, Cmd, Data);
        if (OnTrace) {
            char Head[32];
            std::snprintf(Head, sizeof Head, "%s unit %02X", Outgoing ? "TX" : "RX", Cmd);
            Trace(std::string(Head) + (Data.empty() ? "" : " " + Data));
        }
    };

    MX.SetBlockFeed(&FModuleUpdate);
    MX.OnFrame = [this](TModuleLink*, bool Outgoing, const std::string& Bytes) {
        ModuleFrame(Outgoing, Bytes);
    };
    MX.OnIdentity = [this](TModuleLink* S, const TModuleIdentity& I) {
        Entry(true, [&] { MXIdentity(S, I); });
    };
    MX.OnReceiverVersion = [this](TModuleLink* S, const std::string& V) {
        Entry(true, [&] { MXReceiverVersion(S, V); });
    };
    MX.OnReceiverReady = [this](TModuleLink* S) { Entry(true, [&] { MXReceiverReady(S); }); };
    MX.OnStatus = [this](TModuleLink* S, TModuleStatus St) { Entry(true, [&] { MXStatus(S, St); }); };
    MX.OnDot = [this](TModuleLink* S) { Entry(true, [&] { MXDot(S); }); };
    MX.OnControllerStarted = [this](TModuleLink* S) { Entry(true, [&] { MXControllerStarted(S); }); };
    MX.OnControllerProgress = [this](TModuleLink* S, bool Active, double Percent) {
        Entry(true, [&] { MXControllerProgress(S, Active, Percent); });
    };
    cCom1.OnDataRecived = [this](TComPort* S, int32_t Count) {
        Entry(true, [&] { cCom1DataRecived(S, Count); });
    };
    cCom1.OnPortOpen = [this](TComPort* S) { Entry(true, [&] { cCom1PortOpen(S); }); };
    // An unplugged device: the port reports the hang-up itself, at once.
    const auto HangUp = [this](TComPort* S, const std::string&) { Entry(true, [&] { PortHungUp(S); }); };
    cCom1.OnHangUp = HangUp;
    CX.Port().OnHangUp = HangUp;
    const auto Latency = [this](TComPort* Port, const TLatencySetup& Setup) {
        const std::string Name =
            Port->DevicePath().empty() ? "COM " + std::to_string(Port->ComNumber()) : Port->DevicePath();
        Trace("# " + Name + ": " + Setup.Text());
    };
    cCom1.OnLatencySetup = Latency;
    CX.Port().OnLatencySetup = Latency;

    TimerE3.setInterval(ModuleRetryMs);
    tWriteRetry.setInterval(WriteRetryMs);
    tVersionRetry.setInterval(VersionRetryMs);
    tGPSVersionPoll.setInterval(GPSVersionPollMs);
    connect(&TimerE3, &QTimer::timeout, this, [this] { Entry(true, [&] { TimerE3Timer(); }); });
    connect(&tWriteRetry, &QTimer::timeout, this, [this] { Entry(true, [&] { tWriteRetryTimer(); }); });
    connect(&tVersionRetry, &QTimer::timeout, this, [this] { Entry(true, [&] { tVersionRetryTimer(); }); });
    connect(&tGPSVersionPoll, &QTimer::timeout, this,
            [this] { Entry(true, [&] { tGPSVersionPollTimer(); }); });
    tConfirm.setSingleShot(true);
    connect(&tConfirm, &QTimer::timeout, this, [this] { Entry(true, [&] { tConfirmTimer(); }); });
    tProgramQuiet.setSingleShot(true);
    connect(&tProgramQuiet, &QTimer::timeout, this, [this] { Entry(true, [&] { tProgramQuietTimer(); }); });
    tEnding.setInterval(EndingTickMs);
    connect(&tEnding, &QTimer::timeout, this, [this] { Entry(true, [&] { EndingTick(); }); });
    connect(&tSilence, &QTimer::timeout, this, [this] {
        Entry(true, [&] {
            FSilentSeconds += tSilence.interval() / 1000;
            const int Said = FSilentSeconds * 1000;
            tSilence.setInterval(Said < SilenceStepMs ? SilenceStepMs - Said : SilenceStepMs);
        });
    });

    FDisplay.Caption = SessionText::Caption;
    FormCreate(Arguments);
    UpdateStatus();
}

TUpdateSession::~TUpdateSession()
{
    FormDestroy();
}

template <typename F> void TUpdateSession::Entry(bool Catch, F&& Body)
{
    if (FEntryDepth++ == 0)
        FEntryDisplay = FDisplay;
    struct TLeave {
        TUpdateSession* S;
        ~TLeave()
        {
            if (--S->FEntryDepth != 0)
                return;
            S->UpdateStatus();
            if (!(S->FDisplay == S->FEntryDisplay))
                emit S->DisplayChanged();
        }
    } Leave{this};
    if (!Catch) {
        Body();
        return;
    }
    try {
        Body();
    } catch (const std::exception& E) {
        HandlePortException(E);
        ApplicationHandleCurrentException();
    } catch (...) {
        ApplicationHandleCurrentException();
    }
}

// A port that cannot be opened or fails ends the run; the message still
// reaches the user the way it did.
void TUpdateSession::HandlePortException(const std::exception& E)
{
    if (IsPortError(E))
        EndRun(TOutcomeKind::PortError, E.what());
}

// ---------------------------------------------------------------- front end

bool TUpdateSession::SetDeviceType(int Value)
{
    if (FDisplay.DeviceTypeLocked || (Value != dtVeltrac && Value != dtExternalGPS))
        return false;
    Entry(false, [&] {
        // A run that ended may have left a unit's link open (manual mode, a
        // failure); the other device type would find its port in use.
        if (Value != FDisplay.DeviceType && (CX.Active() || cCom1.Active())) {
            FEnding = TEnding::None;
            ClosePorts();
        }
        FDisplay.DeviceType = Value;
    });
    return true;
}

void TUpdateSession::SetComNumber(int Value)
{
    Entry(false, [&] {
        FDisplay.ComNumber = Value < 0 ? 0 : Value;
        FNoPortChosen = false;
    });
}

void TUpdateSession::SetDevicePath(const std::string& Path)
{
    FDevicePath = Path;
    CX.Port().SetDevicePath(Path);
    cCom1.SetDevicePath(Path);
}

void TUpdateSession::SetConfirmTimeout(int Milliseconds)
{
    FConfirmTimeoutMs = Milliseconds > 0 ? Milliseconds : 1;
}

void TUpdateSession::SetProgramQuietTime(int Milliseconds)
{
    FProgramQuietMs = Milliseconds > 0 ? Milliseconds : 1;
}

std::string TUpdateSession::PortText() const
{
    const std::string Com = "COM " + std::to_string(FDisplay.ComNumber);
    if (FDevicePath.empty())
        return Com;
    const std::string Mapped = ComPortDevicePath(FDisplay.ComNumber);
    return !Mapped.empty() && SameDevice(Mapped, FDevicePath) ? Com : FDevicePath;
}

void TUpdateSession::PlanCustomImage(const std::string& FileName)
{
    FPlan = TSource::Custom;
    FPlanFile = FileName;
    FPlanDone = false;
}

void TUpdateSession::PlanRecovery()
{
    FPlan = TSource::Recovery;
    FPlanFile.clear();
    FPlanDone = false;
}

void TUpdateSession::SetLamps(TCX_Lamp* Tx, TCX_Lamp* Rx, TCX_Lamp* GPSData)
{
    tlTX = Tx;
    tlRX = Rx;
    lGPSData = GPSData;
    CX.SetPanel_Tx(Tx);
    CX.SetPanel_Rx(Rx);
    MX.SetLamps(Tx, Rx);
}

void TUpdateSession::SetState(uint8_t Value)
{
    FUpdateState = Value;
    FDisplay.UpdateState = Value;
    // What the module's bytes are in this state, besides frames.
    switch (Value) {
    case usIdle:
        MX.SetReceive(TModuleReceive::Listen);
        break;
    case usTransferStart:
    case usModuleWaiting:
        MX.SetReceive(TModuleReceive::Preparing);
        break;
    case usModuleFirmware:
        MX.SetReceive(TModuleReceive::Controller);
        break;
    default:
        MX.SetReceive(TModuleReceive::Frames);
    }
}

void TUpdateSession::Trace(const std::string& Line)
{
    constexpr std::size_t MaxHeldNotes = 32;
    if (OnTrace)
        OnTrace(this, Line);
    else if (Line.starts_with("# ") && FHeldNotes.size() < MaxHeldNotes)
        FHeldNotes.push_back(Line);
}

void TUpdateSession::SetTrace(std::function<void(TUpdateSession* Sender, const std::string& Line)> Trace)
{
    OnTrace = std::move(Trace);
    std::vector<std::string> Held;
    Held.swap(FHeldNotes);
    for (const std::string& Line : Held)
        this->Trace(Line);
}

void TUpdateSession::ShowError(const std::string& Message)
{
    if (OnShowError)
        OnShowError(this, Message);
}

// ---------------------------------------------------------------- start-up

void TUpdateSession::FormCreate(const std::vector<std::string>& Arguments)
{
    Entry(false, [&] {
        FAutoUpdate = Arguments.empty() || UpperText(Arguments[0]) != "/MANUAL";
        FRecords.clear();
        FModuleBlocks.clear();
        FPackage.reset();
        DropImage();
        FModuleUpdate.Clear();
        LoadModuleFirmware();
        LoadGPSFirmware();
        ResetDisplay();
    });
}

void TUpdateSession::FormDestroy()
{
    TimerE3.stop();
    tWriteRetry.stop();
    tVersionRetry.stop();
    tGPSVersionPoll.stop();
    tConfirm.stop();
    tProgramQuiet.stop();
    tEnding.stop();
    FEndingDone = nullptr;
    // The links close before the lamps they flash go away with the front end.
    CX.Close(true);
    cCom1.Close();
    SetLamps(nullptr, nullptr, nullptr);
    FRecords.clear();
    FModuleBlocks.clear();
    FPackage.reset();
    FModuleUpdate.Clear();
    DropImage();
}

void TUpdateSession::ResetDisplay()
{
    SetState(0);
    FEEPromAddress = 0;
    FGPSReady = 0;
    FPackImage = false;
    FPlainHeader = false;
    FDisplay.vUnitID.clear();
    FDisplay.vVersion.clear();
    FDisplay.vClass.clear();
    FDisplay.vVersionInfo.clear();
    FDisplay.vHWVer.clear();
    FDisplay.vGPSCurrent.clear();
    FDisplay.vGPSNeeded.clear();
    FRecords.clear();
    FDisplay.pSendProgress.SetPosition(0);
    FDisplay.pUpdateProgress.SetPosition(0);
    FDisplay.vProgress.clear();
    tWriteRetry.stop();
    FModuleBlocks.clear();
    FModuleStallTicks = 0;
    // What a transfer through the unit was waiting for ends with it.
    ForgetAnswers();
    FSpeedConfirmed = false;
    FProgramStartPending = false;
    FAwaitingVersion = false;
    tVersionRetry.stop();
    tGPSVersionPoll.stop();
    // A confirmation outlives the session's own restarts.
    FDisplay.Confirming = FConfirm.Active;
}

void TUpdateSession::LoadModuleFirmware()
{
    TSoftwareVersionCollection Versions;
    Versions.LoadFromEfw(ResourceBytes("egps_fw"));
    FModuleUpdate.Clear();
    FModuleUpdate.Select(Versions, "*");
}

void TUpdateSession::LoadGPSFirmware()
{
    LoadGPSFirmwareImage(ResourceBytes("gps_fw"));
}

void TUpdateSession::LoadGPSFirmwareImage(const std::string& Resource)
{
    Entry(false, [&] {
        FPackage.reset();
        FPackage = std::make_unique<TFirmwarePackage>(Resource, ImageKey());
        // What could not be read is left out of the lists; the trace says why.
        for (const std::string& Problem : FPackage->Problems())
            Trace("# firmware package: " + Problem);
        FDisplay.Caption = SessionText::Caption + IfStr(UnitFirmware().Count() > 0, " + Veltrac", "") + " (" +
                           FPackage->Label() + ")";
    });
}

const std::string& TUpdateSession::Archive() const
{
    static const std::string None;
    return FPackage ? FPackage->Archive() : None;
}

const std::string& TUpdateSession::ArchiveLabel() const
{
    static const std::string None;
    return FPackage ? FPackage->Label() : None;
}

const std::vector<std::string>& TUpdateSession::ArchiveImages() const
{
    static const std::vector<std::string> None;
    return FPackage ? FPackage->ReceiverImages() : None;
}

const TSoftwareVersionCollection& TUpdateSession::UnitFirmware() const
{
    static const TSoftwareVersionCollection None;
    return FPackage ? FPackage->UnitFirmware() : None;
}

// ---------------------------------------------------------------- connection

void TUpdateSession::bOpenClick()
{
    Entry(false, [&] {
        if (FDisplay.ComNumber == 0) {
            FNoPortChosen = true;
            return;
        }
        // Open by the user starts afresh: whatever ended is over. A receiver
        // that may still be programming is followed to its end, not sent anything.
        if (FConfirm.Active)
            SuspendConfirmation();
        StopConfirmation();
        if (FSuspended && FSuspended->Since.elapsed() >= FConfirmTimeoutMs)
            FSuspended.reset();
        FEnding = TEnding::None;
        tEnding.stop();
        FEndingDone = nullptr;
        FReported.clear();
        FReceiverCannotReport = false;
        FPlanDone = false;
        // A unit that may be programming is only woken: the end-of-connection
        // frames that usually go first would end its link.
        CX.SetCloseBeforeOpen(!FSuspended);
        BeginRun(true);
        try {
            OpenConnection();
        } catch (const std::exception& E) {
            HandlePortException(E);
            throw;
        }
    });
}

void TUpdateSession::OpenConnection()
{
    const int n = FDisplay.ComNumber;
    if (n == 0)
        return;
    FNoPortChosen = false;
    ResetDisplay();
    // After an unplug the port is still active on a dead descriptor; the
    // module is opened afresh (the unit's link does the same for itself).
    if (cCom1.HungUp())
        cCom1.Close();
    CX.SetComNumber(n);
    cCom1.SetComNumber(static_cast<uint16_t>(n));
    // Queued behind whatever is still being written (the last acknowledgement
    // of a transfer goes out at the rate the module listens at).
    cCom1.SetBaudRate(br9600);
    FUpdatedUnitID = -1;
    FSilentSeconds = 0;
    tSilence.start(FirstSilenceMs);
    if (FDisplay.DeviceType == dtVeltrac)
        CX.Open();
    else if (cCom1.Active())
        cCom1PortOpen(&cCom1);
    else
        cCom1.Open();
}

void TUpdateSession::bCloseClick()
{
    Entry(false, [&] {
        const bool Programming = FConfirm.Active;
        SuspendConfirmation();
        StopConfirmation();
        FEnding = TEnding::None;
        tEnding.stop();
        ClosePorts();
        if (Programming)
            EndRun(TOutcomeKind::Interrupted,
                   SessionText::HalfProgrammed + " (the connection was closed while it programmed)");
        else if (FRun.Active)
            EndRun(TOutcomeKind::Interrupted, "the connection was closed");
        else
            FOutcome.reset(); // nothing ran: the status line asks for the next Open
    });
}

void TUpdateSession::bOffClick()
{
    Entry(false, [&] {
        const bool Programming = FConfirm.Active;
        SuspendConfirmation();
        StopConfirmation();
        ResetDisplay();
        if (Programming)
            EndRun(TOutcomeKind::Interrupted,
                   SessionText::HalfProgrammed + " (the device was switched off while it programmed)");
        else
            EndRun(TOutcomeKind::Interrupted, "the device was switched off");
        if (FDisplay.DeviceType == dtVeltrac) {
            StartEnding(TEnding::TurnOff);
        } else {
            CX.TurnOff();
            // The module's port stays open and its timer identifies the module
            // again, which it only hears at 9600 baud (a transfer may have left 57600).
            if (cCom1.Active())
                cCom1.SetBaudRate(br9600);
        }
    });
}

void TUpdateSession::EndConnection(TOutcomeKind Kind, const std::string& Message, std::function<void()> Done)
{
    Entry(false, [&] {
        EndRun(Kind, Message);
        StopConfirmation();
        FEndingDone = std::move(Done);
        if (FDisplay.DeviceType == dtExternalGPS || !CX.Connected()) {
            FinishEnding();
            return;
        }
        // A turn-off on its way (up to date, or confirmed) ends the link by its answer.
        if (FEnding == TEnding::TurnOff) {
            tEnding.start();
            return;
        }
        StartEnding(TEnding::Close);
    });
}

// Acknowledgements from the unit name no command: the link reads each as the
// answer to the last command sent. A turn-off or end-of-connection sent while
// an earlier command's answer is due would take that answer for its own, and
// the port would close before the unit has read it. So nothing of the update
// runs on, and the last command goes out once the line is quiet.
void TUpdateSession::StartEnding(TEnding How)
{
    FEnding = How;
    FEndingSent = false;
    tWriteRetry.stop();
    tVersionRetry.stop();
    tGPSVersionPoll.stop();
    FAwaitingVersion = false;
    ForgetAnswers();
    FEndingClock.start();
    tEnding.start();
    EndingTick();
}

void TUpdateSession::EndingTick()
{
    if (FEnding == TEnding::None) {
        tEnding.stop();
        return;
    }
    const bool Connected = CX.Connected();
    if (!FEndingSent) {
        if (Connected && !CX.LineQuiet(QuietLineMs, SettleMaxMs) && FEndingClock.elapsed() < SettleMaxMs)
            return;
        if (Connected) {
            FEndingSent = true;
            FEndingClock.restart();
            if (FEnding == TEnding::TurnOff)
                CX.TurnOff();
            else
                CX.Close(false);
            return;
        }
    } else if (Connected && FEndingClock.elapsed() < CloseWaitMs) {
        return;
    }
    FinishEnding();
}

void TUpdateSession::FinishEnding()
{
    tEnding.stop();
    if (!FEndingDone) {
        // "Off": the unit's answer ended the link (or it did not answer); the
        // session stays still until the user presses Open or Close.
        return;
    }
    const std::function<void()> Done = std::move(FEndingDone);
    FEndingDone = nullptr;
    FEnding = TEnding::None;
    ClosePorts();
    Done();
}

// Both ports closed and the window as after start-up.
void TUpdateSession::ClosePorts()
{
    ResetDisplay();
    CX.Close(true);
    cCom1.Close();
    TimerE3.stop();
    tSilence.stop();
}

void TUpdateSession::PortHungUp(TComPort* Port)
{
    const bool Module = FDisplay.DeviceType == dtExternalGPS;
    const bool InUse = Module ? Port == &cCom1 : Port == &CX.Port();
    if (!InUse || !FRun.Active) {
        // A port of the other device type, or a device unplugged after its
        // run ended (the natural next step): nothing to say.
        if (InUse)
            ClosePorts();
        else
            Port->Close();
        if (FEndingDone)
            FinishEnding();
        return;
    }
    const std::string Gone = PortText() + " disappeared";
    const std::string Device = Module ? "module" : "unit";
    std::string Message;
    if (FConfirm.Active) {
        Message = Gone + " while the receiver was being programmed: it may still be programming; plug the " +
                  Device + " in again and press Open to follow it to the end";
    } else if (FUpdateState == usTransferStart || FUpdateState == usModuleWaiting ||
               (Module && FUpdateState == usBusy)) {
        Message = Gone + " during the receiver transfer: the receiver was not programmed; plug the " + Device +
                  " in and press Open";
    } else if (FUpdateState == usUnitFirmware || FUpdateState == usModuleFirmware) {
        Message = Gone + " during the update of the " + (Module ? "module's controller" : "unit's own firmware") +
                  ": plug the " + Device + " in and press Open to update it again";
    } else {
        Message = Gone + ": plug the " + Device + " in and press Open";
    }
    SuspendConfirmation();
    StopConfirmation();
    FEnding = TEnding::None;
    tEnding.stop();
    ClosePorts();
    EndRun(TOutcomeKind::PortError, Message);
    if (FEndingDone)
        FinishEnding();
}

void TUpdateSession::CXAfterOpen(TCorvex* Sender)
{
    (void)Sender;
    if (Ending())
        return;
    ResetDisplay();
    // A lost reply would leave the update waiting for ever: ask until it comes.
    FAwaitingVersion = true;
    tVersionRetry.start();
    CX.RequestVersionInfo(false);
}

void TUpdateSession::tVersionRetryTimer()
{
    if (!FAwaitingVersion || !CX.Connected()) {
        tVersionRetry.stop();
        return;
    }
    CX.RequestVersionInfo(false);
}

void TUpdateSession::CXGotVersionInfo(TCorvex* Sender, const TCX_VersionInfo& Info)
{
    (void)Sender;
    // Only the answer that was asked for: a late duplicate of a repeated
    // question must not start the chain a second time.
    if (!FAwaitingVersion || Ending())
        return;
    FAwaitingVersion = false;
    tVersionRetry.stop();

    const TCX_UnitInfo& Unit = CX.UnitInfo();
    FDisplay.vUnitID = std::to_string(Unit.UnitID);
    FDisplay.vVersion = Unit.VersionText;
    FDisplay.vClass = CX_UnitModelName(Info.Class);
    FDisplay.vVersionInfo = Info.HardwareText;
    FDisplay.vHWVer = CX_HardwareCodeName(Info.HardwareRev);
    Identified(FDisplay.vUnitID, Unit.VersionText);
    if (ResumeConfirmation(FDisplay.vUnitID))
        return;

    const std::string Title =
        FindNewestSoftware(UnitFirmware(), Info.Class, Info.Hardware, Info.HardwareRev, 0, 0);
    if (Title.empty() || Unit.UnitID == FUpdatedUnitID) {
        CX.SetGPSReports(true, false);
        return;
    }
    FUpdatedUnitID = Unit.UnitID;
    CX.SelectSoftware(UnitFirmware(), Title);
    CX.StartSoftwareUpdate(Unit.VersionText == "2.31o");
    SetState(usUnitFirmware);
    FDisplay.vGPSCurrent = SessionText::UpdatingUnit + Title;
    FRun.FirmwareTitle = Title;
}

void TUpdateSession::CXSoftwareUpdate(TCorvex* Sender, int32_t Block, int32_t Percent)
{
    (void)Sender;
    (void)Block;
    FDisplay.pUpdateProgress.SetMaximum(100);
    FDisplay.pUpdateProgress.SetPosition(Percent);
    FDisplay.vProgress = std::to_string(Percent) + "%";
}

void TUpdateSession::CXGPSLocation(TCorvex* Sender, const TCX_GPSLocation& GPSLocation)
{
    (void)Sender;
    (void)GPSLocation;
    if (lGPSData)
        lGPSData->Trigger();
    if (Ending())
        return;
    if (FUpdateState == 0)
        CX.RequestParameter(FGPSReady > 0 ? ParamGPSVersion : ParamGPSUpdate);
    else if (FUpdateState == 3 && !FProgramStartPending)
        RequestGPSVersion();
}

void TUpdateSession::CXRequestParameter(TCorvex* Sender, int32_t Parameter, bool Valid,
                                        const std::string& Value, const std::string& HexValue)
{
    (void)Sender;
    (void)Valid;
    (void)HexValue;
    if (Ending())
        return;
    if (Parameter == ParamGPSUpdate) {
        if (Value.empty()) {
            FDisplay.vGPSCurrent = SessionText::NotSupported;
        } else {
            FEEPromAddress = HexToIntDef(GetToken(Value, 0, ','), 0);
            FGPSReady = HexToIntDef(GetToken(Value, 1, ','), 0);
            const std::string Kind = GetToken(Value, 2, ',');
            FPackImage = Kind == "C";
            FPlainHeader = Kind == "V";
            FReceiverCannotReport = FGPSReady <= 0;
        }
        // Once a transfer has begun no further command may go out between a
        // send and its acknowledgement, which the link reads by the last
        // command; logger reports are on by then.
        const bool Idle = FUpdateState == usIdle;
        if (Idle)
            CX.SetLoggerReports(true);
        if (Value.empty())
            EndRun(TOutcomeKind::NotSupported, "the unit does not support receiver updates");
        else if (Idle && FReceiverCannotReport && !FConfirm.Active)
            RunPlan(true);
    } else if (Parameter == ParamGPSVersion && !Value.empty()) {
        // A second answer may come while records are being written: then no command.
        if (FUpdateState == usIdle || (FUpdateState == usBusy && !FProgramStartPending))
            CX.SetGPSReports(false, false);
        ReceiverReported(Value);
    }
}

// ---------------------------------------------------------------- transfer through the unit

void TUpdateSession::StartUnitTransfer()
{
    tWriteRetry.stop();
    if (!FImage) {
        ShowError(SessionText::NoImage);
        return;
    }
    const int Chunk = UnitChunkSize(CX.MaxLength(), CX.UnitInfo().HexType);
    std::string Data = *FImage;
    if (FPackImage)
        Data = GPSzContainer(Data, true);
    else if (FPlainHeader)
        Data = GPSzContainer(Data, false);
    FRecords = UnitRecords(Data, FEEPromAddress, Chunk);
    ForgetAnswers();
    FSpeedConfirmed = false;
    FProgramStartPending = false;
    FDisplay.pSendProgress.SetMaximum(static_cast<int>(FRecords.size()));
    FDisplay.pSendProgress.SetPosition(0);
    if (!FRecords.empty())
        tWriteRetry.start();
    SentToUnit(AnswerSpeed);
    CX.SetFastSpeed();
}

// Acknowledgements from the unit carry no identity, and the link reads each
// one as the answer to the last command it sent. Copies of one send (the
// retries) are interchangeable: whichever is answered, the unit did it. So
// an answer counts only while every send still due is a copy of the current
// one; after an answer, the next send waits until the other copies are
// answered too, or are older than AnswerLifetimeMs and taken as lost.
void TUpdateSession::ForgetAnswers()
{
    FCurrentKind = AnswerNone;
    FCurrentCopies = 0;
    FOldCopies = 0;
}

void TUpdateSession::SentToUnit(int Kind)
{
    if (!FAnswerClock.isValid())
        FAnswerClock.start();
    if (Kind != FCurrentKind)
        FCurrentCopies = 0;
    FCurrentKind = Kind;
    ++FCurrentCopies;
    FLastSentAt = FAnswerClock.elapsed();
}

// The current send was answered: its other copies become answers still due.
void TUpdateSession::CurrentAnswered()
{
    FOldCopies = FCurrentCopies;
    FOldSentAt = FLastSentAt;
    FCurrentCopies = 0;
    FCurrentKind = AnswerNone;
}

bool TUpdateSession::WaitingForOldAnswers()
{
    if (FOldCopies > 0 && FAnswerClock.elapsed() - FOldSentAt > AnswerLifetimeMs)
        FOldCopies = 0;
    return FOldCopies > 0;
}

// The records wait for the speed switch to be answered: a write sent before
// would take that answer for its own, and the link would stay at the old speed.
void TUpdateSession::CXFastSpeed(TCorvex* Sender)
{
    (void)Sender;
    if (Ending() || FSpeedConfirmed || FCurrentKind != AnswerSpeed)
        return;
    FSpeedConfirmed = true;
    // Copies of the switch went out at the old speed after the unit had
    // moved on, so no further answer can come for them. A late answer lets
    // the first record go at once: the unit falls back to the old speed when
    // nothing arrives at the new one for a while.
    const bool Repeated = FCurrentCopies > 1;
    ForgetAnswers();
    if (Repeated && !FRecords.empty())
        SendEEPromRecord(false);
}

void TUpdateSession::CXEEPromDataWrite(TCorvex* Sender, bool Result)
{
    (void)Sender;
    if (Ending())
        return;
    UnitAnswer(Result);
}

void TUpdateSession::CXSetParameter(TCorvex* Sender, int32_t Parameter, bool Success)
{
    (void)Sender;
    if (Ending())
        return;
    (void)Parameter; // the link names the last parameter set, whatever the answer belongs to
    UnitAnswer(Success);
}

void TUpdateSession::UnitAnswer(bool Success)
{
    if (FOldCopies > 0) {
        // An earlier send's copy; once the last is in, what waited goes out.
        if (--FOldCopies == 0 && !FRecords.empty() && FSpeedConfirmed)
            SendEEPromRecord(false);
        return;
    }
    if (FCurrentCopies == 0)
        return; // nothing of ours is due
    --FCurrentCopies;
    if (FCurrentKind >= 0) {
        if (!FRecords.empty() && FCurrentKind == FDisplay.pSendProgress.Position) {
            if (Success)
                CurrentAnswered();
            SendEEPromRecord(Success);
        }
    } else if (FCurrentKind == AnswerProgramStart) {
        if (!Success)
            return; // the retry timer asks again
        ProgramStarted();
    }
}

void TUpdateSession::tWriteRetryTimer()
{
    if (FOldCopies > 0) {
        if (WaitingForOldAnswers())
            return;
        if (!FRecords.empty() && FSpeedConfirmed)
            SendEEPromRecord(false);
        return;
    }
    if (!FRecords.empty() && !FSpeedConfirmed) {
        SentToUnit(AnswerSpeed);
        CX.SetFastSpeed();
    } else if (!FRecords.empty()) {
        SendEEPromRecord(false);
    } else if (FUpdateState == 3 && FProgramStartPending) {
        // A second start that reaches a unit which has finished programming
        // programs the receiver again: it goes only once neither the answer
        // to the last one nor the logger status of a unit that took it can
        // still come, which on a slow line takes well beyond a record's answer.
        if (FAnswerClock.elapsed() - FLastSentAt <= ProgramStartLifetimeMs)
            return;
        SentToUnit(AnswerProgramStart);
        CX.SetParameterInt(ParamGPSUpdate, 1);
    } else {
        tWriteRetry.stop();
    }
}

// Re-sending a record is harmless (same bytes, same address); skipping one
// would leave a hole in the receiver's image.
void TUpdateSession::SendEEPromRecord(bool Advance)
{
    tWriteRetry.stop();
    TProgressBarState& Cursor = FDisplay.pSendProgress;
    if (Advance)
        Cursor.SetPosition(Cursor.Position + 1);
    if (!FRecords.empty()) {
        if (WaitingForOldAnswers()) {
            // The timer sends it once the earlier copies are answered or lost.
        } else if (Cursor.Position < static_cast<int>(FRecords.size())) {
            const std::string& Record = FRecords[static_cast<std::size_t>(Cursor.Position)];
            const std::size_t Blank = Record.find(' ');
            const std::string Address = Record.substr(0, Blank);
            const std::string Data = Blank == std::string::npos ? std::string() : Record.substr(Blank + 1);
            SentToUnit(Cursor.Position);
            CX.WriteEEPromData(DecToIntDef(Address, 0), Data);
            FDisplay.vProgress =
                FixedText(Cursor.Maximum > 0 ? Cursor.Position * 100.0 / Cursor.Maximum : 0.0, 1) + "%";
        } else {
            Cursor.SetPosition(0);
            FRecords.clear();
            SetState(usBusy);
            // Every record is in the unit: from here on it may be programming.
            StartConfirmation(true);
            StartProgramming();
            return;
        }
    }
    if (!FRecords.empty())
        tWriteRetry.start();
}

// The unit programs its receiver once it holds 65352 = 1; the write is
// repeated until the unit acknowledges it, since a lost one would leave the
// update waiting for ever.
void TUpdateSession::StartProgramming()
{
    FProgramStartPending = true;
    tWriteRetry.start();
    SentToUnit(AnswerProgramStart);
    CX.SetParameterInt(ParamGPSUpdate, 1);
}

// While the unit programs, the receiver version is read until the required
// one is reported; GPS reports were switched off and may not come back.
void TUpdateSession::RequestGPSVersion()
{
    tGPSVersionPoll.start();
    CX.RequestParameter(ParamGPSVersion);
}

void TUpdateSession::tGPSVersionPollTimer()
{
    if (FUpdateState != 3 || FProgramStartPending || !CX.Connected()) {
        tGPSVersionPoll.stop();
        return;
    }
    RequestGPSVersion();
}

// The unit took 65352 := 1. A repeat that reached it after it had finished
// would program the receiver a second time, so nothing repeats it any more.
void TUpdateSession::ProgramStarted()
{
    if (FCurrentKind == AnswerProgramStart)
        CurrentAnswered();
    FProgramStartPending = false;
    FConfirm.ProgramAcked = FConfirm.Active;
    tWriteRetry.stop();
    ConfirmationProgress();
    RequestGPSVersion();
}

void TUpdateSession::CXLoggerStatus(TCorvex* Sender, const TCX_LoggerStatus& Status)
{
    (void)Sender;
    // The unit reports its logger status only while it programs: it heard
    // the start, whatever became of the acknowledgement.
    if (FProgramStartPending && FUpdateState == usBusy && !Ending())
        ProgramStarted();
    ConfirmationProgress();
    if (FConfirm.Active && FConfirm.ProgramAcked && !Ending()) {
        FConfirm.Ran = true;
        tProgramQuiet.start(FProgramQuietMs);
        if (Status.Total > 0 && Status.Current >= Status.Total)
            ProgrammingEnded();
    }
    TProgressBarState& Bar = FDisplay.pUpdateProgress;
    Bar.SetMaximum(Status.Total);
    Bar.SetPosition(Status.Current);
    if (Status.Current == 0)
        FDisplay.vProgress.clear();
    else
        FDisplay.vProgress =
            std::to_string(Bar.Maximum > 0 ? static_cast<int64_t>(Bar.Position) * 100 / Bar.Maximum : 0) +
            "%";
}

// ---------------------------------------------------------------- External GPS module

void TUpdateSession::ModuleFrame(bool Outgoing, const std::string& Bytes)
{
    if (OnModuleFrame)
        OnModuleFrame(this, Outgoing, Bytes);
    if (OnTrace)
        Trace(std::string(Outgoing ? "TX" : "RX") + " module " + BytesToHex(Bytes, true));
}

void TUpdateSession::SendModuleIdentify()
{
    MX.SendModuleIdentify();
}

void TUpdateSession::SendToGPS(const std::string& Text)
{
    TimerE3.stop();
    TimerE3.start();
    MX.SendToGPS(Text);
}

void TUpdateSession::cCom1PortOpen(TComPort* Sender)
{
    (void)Sender;
    MX.Restart();
    TimerE3.start();
    TimerE3Timer();
}

void TUpdateSession::TimerE3Timer()
{
    if (FDisplay.vVersion.empty())
        SendModuleIdentify();
    else if (FDisplay.vGPSCurrent.empty())
        SendToGPS("Q");
    else if (FConfirm.Active && FUpdateState == usIdle && FDisplay.DeviceType == dtExternalGPS)
        SendToGPS("Q"); // until the programmed receiver reports its new version
    else if (FUpdateState == usTransferStart || FUpdateState == usModuleWaiting) {
        // A module that went quiet before its first block status (block 0 or
        // its answer lost, the ready status lost): it has given up or never
        // started, so start again from identification.
        if (FDisplay.DeviceType == dtExternalGPS && ++FModuleStallTicks > ModuleQuietPeriods) {
            OpenConnection();
            return;
        }
        if (FUpdateState == usTransferStart)
            cCom1.SetBaudRate(br57600);
    } else if (FDisplay.DeviceType == dtExternalGPS && FUpdateState == usBusy &&
               FDisplay.pUpdateProgress.Position < static_cast<int>(FModuleBlocks.size())) {
        const int Cursor = FDisplay.pUpdateProgress.Position;
        // A block that stays unanswered after a few repeats means the module
        // left the transfer (and its speed), or, for the last block, that it
        // took the block and programs while its status was lost. Either way
        // identification starts again, which follows the module and reads the
        // receiver's version; after the last block nothing is sent again
        // until the module shows it never programmed.
        if (FModuleStallTicks >= ModuleBlockRepeats) {
            if (Cursor == static_cast<int>(FModuleBlocks.size()) - 1)
                StartConfirmation(false);
            OpenConnection();
            return;
        }
        ++FModuleStallTicks;
        SendToGPS(FModuleBlocks[static_cast<std::size_t>(Cursor)]);
    }
}

void TUpdateSession::cCom1DataRecived(TComPort* Sender, int32_t Count)
{
    (void)Sender;
    (void)Count;
    MX.DataReceived();
}

void TUpdateSession::ModuleReceived(const std::string& Bytes)
{
    Entry(false, [&] { MX.Received(Bytes); });
}

void TUpdateSession::MXControllerStarted(TModuleLink* Sender)
{
    (void)Sender;
    SetState(usModuleFirmware);
    ControllerFromLoader();
}

// A module that asks for controller firmware by itself, before it said who
// it is, has no controller version to report.
void TUpdateSession::ControllerFromLoader()
{
    if (!FRun.Active)
        BeginRun(false);
    if (FDisplay.vVersion.empty())
        FRun.FirmwareBeforeUnknown = true;
}

void TUpdateSession::MXControllerProgress(TModuleLink* Sender, bool Active, double Percent)
{
    (void)Sender;
    if (Active) {
        FDisplay.pUpdateProgress.SetMaximum(100);
        FDisplay.pUpdateProgress.SetPosition(static_cast<int>(Percent));
    } else if (FDisplay.pUpdateProgress.Position > 50) {
        // The controller finished and runs its new firmware: start again; its
        // identification says whether it took it.
        FRun.ControllerSent = true;
        OpenConnection();
    }
}

void TUpdateSession::MXDot(TModuleLink* Sender)
{
    (void)Sender;
    SetState(usModuleWaiting);
    FModuleStallTicks = 0;
    FDisplay.vProgress = SessionText::Preparing;
    FDisplay.pSendProgress.SetPosition(FDisplay.pSendProgress.Position + 1);
}

void TUpdateSession::MXStatus(TModuleLink* Sender, TModuleStatus Status)
{
    (void)Sender;
    if (FConfirm.Active) {
        // The module took the whole image: its statuses now only show it
        // is busy. A status 02 (programming ended, or failed) is followed
        // from identification; the version it then reports decides.
        ConfirmationProgress();
        if (Status == TModuleStatus::Refused) {
            FConfirm.Status02 = true;
            OpenConnection();
        }
        return;
    }
    switch (Status) {
    case TModuleStatus::Ready:
        FDisplay.vProgress = SessionText::Updating;
        MX.SendAcknowledge();
        FDisplay.pSendProgress.SetPosition(FDisplay.pSendProgress.Maximum);
        SetState(usBusy);
        SendNextModuleBlock();
        break;
    case TModuleStatus::Accepted:
        MX.SendAcknowledge();
        SendNextModuleBlock();
        break;
    case TModuleStatus::Refused:
        // The module refused a block: the connection starts again from
        // identification. An image the technician chose is not sent again.
        if (FRun.Transfer == TSource::Custom || FRun.Transfer == TSource::Recovery)
            EndRun(TOutcomeKind::Failed, "the module refused the image (status 02); the receiver was not "
                                         "programmed");
        OpenConnection();
        break;
    case TModuleStatus::Other:
        break;
    }
}

void TUpdateSession::MXIdentity(TModuleLink* Sender, const TModuleIdentity& Identity)
{
    (void)Sender;
    FDisplay.vUnitID = Identity.UnitID;
    FDisplay.vVersion = FixedText(Identity.Version, 2);
    FDisplay.vClass = Identity.Class;
    Identified(FDisplay.vUnitID, FDisplay.vVersion);
    if (FRun.ControllerSent) {
        // The controller restarted on what it pulled: it must now run the version the tool carries.
        FRun.ControllerSent = false;
        const std::string Carried = FixedText(FModuleUpdate.Version / 100.0, 2);
        if (FDisplay.vVersion != Carried) {
            TimerE3.stop();
            SetState(usFinished);
            EndRun(TOutcomeKind::Failed, "the controller reports " + FDisplay.vVersion +
                                             " after its update; the tool carries " + Carried);
            return;
        }
        FRun.FirmwareWritten = true;
    }
    if (ResumeConfirmation(FDisplay.vUnitID)) {
        TimerE3Timer();
        return;
    }
    // After its status 02 the module starts again: this identification is a fresh one.
    if (FConfirm.Active && FConfirm.Status02)
        ProgrammingEnded();
    if (Identity.Version >= 2.0) {
        // A recovery is for a receiver that cannot report: it goes right after identification.
        if (FPlan == TSource::Recovery && !FPlanDone && !FConfirm.Active && FUpdateState == usIdle)
            RunPlan(true);
        else
            TimerE3Timer();
    } else {
        TimerE3.stop();
        SetState(usModuleFirmware);
        FDisplay.vGPSCurrent = SessionText::UpdatingModule;
        MX.SendStartControllerUpdate();
    }
}

void TUpdateSession::MXReceiverVersion(TModuleLink* Sender, const std::string& Version)
{
    (void)Sender;
    ReceiverReported(Version);
}

void TUpdateSession::MXReceiverReady(TModuleLink* Sender)
{
    (void)Sender;
    SetState(usModuleWaiting);
    FDisplay.vProgress = SessionText::Waiting;
    cCom1.SetBaudRate(br57600);
}

void TUpdateSession::StartModuleTransfer()
{
    FModuleBlocks.clear();
    if (!FImage) {
        ShowError(SessionText::NoImage);
        return;
    }
    cCom1.SetBaudRate(br9600);
    switch (CheckMediaTekImage(*FImage)) {
    case TMediaTekCheck::TooShort:
        ShowError(SessionText::ImageTooShort);
        EndRun(TOutcomeKind::BadImage, FImageName +
                                           " is shorter than the 448-byte header of a receiver image; "
                                           "nothing was sent");
        return;
    case TMediaTekCheck::NotMediaTek:
        // Not sent, silently, as the window does; the run still says why.
        EndRun(TOutcomeKind::BadImage, FImageName + " is not a MediaTek receiver image; nothing was sent");
        return;
    case TMediaTekCheck::Ok:
        break;
    }
    FModuleBlocks = ModuleTransferBlocks(*FImage);
    FModuleStallTicks = 0;
    FDisplay.pSendProgress.SetMaximum(PreparingDots);
    FDisplay.pSendProgress.SetPosition(0);
    FDisplay.pUpdateProgress.SetMaximum(static_cast<int>(FModuleBlocks.size()));
    FDisplay.pUpdateProgress.SetPosition(0);
    SendToGPS(FModuleBlocks[0]);
}

void TUpdateSession::SendNextModuleBlock()
{
    TProgressBarState& Cursor = FDisplay.pUpdateProgress;
    if (Cursor.Position >= Cursor.Maximum)
        return;
    Cursor.SetPosition(Cursor.Position + 1);
    FModuleStallTicks = 0;
    FDisplay.vProgress =
        std::to_string(Cursor.Maximum > 0 ? Cursor.Position * 100 / Cursor.Maximum : 0) + "%";
    if (Cursor.Position < static_cast<int>(FModuleBlocks.size())) {
        SendToGPS(FModuleBlocks[static_cast<std::size_t>(Cursor.Position)]);
    } else if (FUpdateState == usBusy) {
        // Every block accepted: the module programs its receiver. Start again
        // from identification (the acknowledgement still goes out at the fast
        // rate) and ask for the version until the new one is reported.
        StartConfirmation(true);
        OpenConnection();
    }
}

// ---------------------------------------------------------------- required firmware

void TUpdateSession::CheckGPSVersion(const std::string& Version)
{
    DecideVersion(Version, TSource::Automatic);
}

void TUpdateSession::DecideVersion(const std::string& Version, TSource Source)
{
    FDisplay.vGPSCurrent = Version;
    if (!FAutoUpdate) {
        SetState(usFinished);
        if (Source == TSource::Recovery)
            EndRun(TOutcomeKind::ManualFinished, "automatic update is off, so no recovery is sent");
        else if (FPlan == TSource::Custom && !FPlanDone)
            RunPlan(false);
        else if (FRun.Transfer != TSource::None && !FRun.Transferred)
            EndRun(TOutcomeKind::Failed,
                   "the image did not reach the device completely; the receiver reports " + Quoted(Version));
        else
            EndRun(TOutcomeKind::ManualFinished, "automatic update is off; the receiver reports " + Quoted(Version));
        return;
    }
    if (!FindRequiredImage(Version)) {
        SetState(usFinished);
        EndRun(TOutcomeKind::NotSupported, "the tool has no image for the receiver's version " + Quoted(Version));
        return;
    }
    if (Version == FDisplay.vGPSNeeded) {
        if (FDisplay.DeviceType == dtVeltrac)
            StartEnding(TEnding::TurnOff);
        SetState(usFinished);
        EndRun(TOutcomeKind::UpToDate, "the receiver already runs " + Quoted(Version));
        return;
    }
    if (FUpdateState != usIdle)
        return;
    SetState(usTransferStart);
    TransferStarting(Source);
    if (FDisplay.DeviceType == dtVeltrac)
        StartUnitTransfer();
    else
        StartModuleTransfer();
}

bool TUpdateSession::FindRequiredImage(const std::string& Version)
{
    const std::string W = ApplyModuleTypeAliases(Version);
    std::string Name;
    if (W.starts_with("AXN"))
        Name = FindAXNImage(W);
    else if (W.starts_with("EVA"))
        Name = FindEVAImage(W);
    if (Name.empty() || !LoadArchiveImage(Name)) {
        FDisplay.vGPSNeeded = SessionText::NotSupported;
        return false;
    }
    FDisplay.vGPSNeeded = Name.size() >= 4 ? Name.substr(0, Name.size() - 4) : std::string();
    return true;
}

std::string TUpdateSession::FindAXNImage(const std::string& Version) const
{
    return ::FindAXNImage(ArchiveImages(), Version);
}

std::string TUpdateSession::FindEVAImage(const std::string& Version) const
{
    return ::FindEVAImage(ArchiveImages(), Version);
}

// FImageName names an image only while it is held, so a failed load can
// never be mistaken for the image being there.
void TUpdateSession::DropImage()
{
    FImage.reset();
    FImageName.clear();
}

bool TUpdateSession::LoadArchiveImage(const std::string& Name)
{
    if (FImage && Name == FImageName)
        return true;
    DropImage();
    if (!FPackage) {
        Trace("# " + Name + ": no firmware package is loaded");
        return false;
    }
    TPackageImage Taken = FPackage->Image(Name);
    if (!Taken.Bytes) {
        Trace("# " + Taken.Error);
        return false;
    }
    FImage = std::move(Taken.Bytes);
    FImageName = Name;
    return true;
}

bool TUpdateSession::TransferPossible()
{
    if (FDisplay.DeviceType == dtVeltrac) {
        // The unit's frame limit arrives with its unit information; without
        // it no record can be cut.
        if (!CX.Connected() || UnitChunkSize(CX.MaxLength(), CX.UnitInfo().HexType) <= 0) {
            ShowError(SessionText::NoUnitConnection);
            return false;
        }
    } else if (!cCom1.Active()) {
        ShowError(SessionText::NoModuleConnection);
        return false;
    }
    return true;
}

void TUpdateSession::LoadCustomFirmware(const std::string& FileName)
{
    Entry(false, [&] {
        if (RefuseWhileConfirming())
            return;
        if (!FImage || FileName != FImageName) {
            DropImage();
            QFile File(QString::fromLocal8Bit(FileName.c_str()));
            if (File.open(QIODevice::ReadOnly)) {
                const QByteArray Bytes = File.readAll();
                if (File.error() == QFileDevice::NoError) {
                    FImage = std::string(Bytes.constData(), static_cast<std::size_t>(Bytes.size()));
                    FImageName = FileName;
                }
            }
        }
        if (!FImage) {
            ShowError(SessionText::UnableToLoad);
            if (!FRun.Active)
                BeginRun(false);
            EndRun(TOutcomeKind::BadImage, "cannot read the image " + FileName);
            return;
        }
        // The image stays loaded; the user chooses it again once connected.
        if (!TransferPossible())
            return;
        if (!FRun.Active)
            BeginRun(false);
        if (FDisplay.DeviceType == dtExternalGPS && CheckMediaTekImage(*FImage) == TMediaTekCheck::TooShort) {
            ShowError(SessionText::ImageTooShort);
            EndRun(TOutcomeKind::BadImage, FileName + " is shorter than the 448-byte header of a receiver "
                                                      "image; nothing was sent");
            return;
        }
        if (FDisplay.vGPSCurrent.empty())
            FDisplay.vGPSCurrent = SessionText::ManualUpdate;
        FDisplay.vGPSNeeded = FileNameNoExt(FileName);
        SetState(usTransferStart);
        TransferStarting(TSource::Custom);
        if (FDisplay.DeviceType == dtVeltrac)
            StartUnitTransfer();
        else
            StartModuleTransfer();
    });
}

void TUpdateSession::pGPSNeededDblClick()
{
    if (!OnChooseFirmwareFile)
        return;
    const std::string FileName = OnChooseFirmwareFile(this);
    if (!FileName.empty())
        LoadCustomFirmware(FileName);
}

void TUpdateSession::pGPSCurrentDblClick()
{
    Entry(false, [&] {
        if (FDisplay.DeviceType != dtExternalGPS && CX.VersionInfo().HardwareText != "2e1")
            return;
        if (RefuseWhileConfirming())
            return;
        // The unit's last version information outlives its connection.
        if (!TransferPossible())
            return;
        if (!FRun.Active)
            BeginRun(false);
        DecideVersion(RecoveryVersionText, TSource::Recovery);
        FDisplay.vGPSCurrent = SessionText::FirmwareRecovery;
    });
}

// ---------------------------------------------------------------- planned requests

// A planned request goes when the technician's double-click would: from the
// event loop, after the step that showed what it waits for.
void TUpdateSession::RunPlan(bool UnreadableReceiver)
{
    if (FPlan == TSource::None || FPlanDone || FConfirm.Active)
        return;
    if (FPlan == TSource::Recovery && !UnreadableReceiver)
        return;
    FPlanDone = true;
    QMetaObject::invokeMethod(
        this, [this] { Entry(true, [&] { RunPlanNow(); }); }, Qt::QueuedConnection);
}

void TUpdateSession::RunPlanNow()
{
    if (FConfirm.Active || Ending())
        return;
    if (FPlan == TSource::Custom) {
        LoadCustomFirmware(FPlanFile);
        return;
    }
    pGPSCurrentDblClick();
    if (FDisplay.vGPSCurrent != SessionText::FirmwareRecovery)
        EndRun(TOutcomeKind::NotSupported,
               "a recovery is not possible for this unit (hardware " + FDisplay.vVersionInfo + ")");
}

bool TUpdateSession::RefuseWhileConfirming()
{
    if (!FConfirm.Active)
        return false;
    ShowError(SessionText::StillProgramming);
    return true;
}

// ---------------------------------------------------------------- runs

void TUpdateSession::BeginRun(bool Fresh)
{
    FRun = TRun();
    FRun.Active = true;
    FRun.Clock.start();
    FRun.SentAtStart = CX.BytesSent() + MX.BytesSent();
    if (!Fresh) {
        FRun.DeviceID = FDisplay.vUnitID;
        FRun.FirmwareBefore = FRun.FirmwareAfter = FDisplay.vVersion;
    }
    FOutcome.reset();
}

void TUpdateSession::Identified(const std::string& DeviceID, const std::string& Firmware)
{
    tSilence.stop();
    FSilentSeconds = 0;
    FRun.DeviceID = DeviceID;
    if (FRun.FirmwareBefore.empty() && !FRun.FirmwareBeforeUnknown)
        FRun.FirmwareBefore = Firmware;
    FRun.FirmwareAfter = Firmware;
    // The unit pulled its firmware to the end and is back on it.
    if (FRun.UnitFirmwareSent) {
        FRun.UnitFirmwareSent = false;
        FRun.FirmwareWritten = true;
    }
}

std::string TUpdateSession::FirmwareNote() const
{
    if (!FRun.FirmwareWritten)
        return {};
    if (FDisplay.DeviceType == dtExternalGPS) {
        if (FRun.FirmwareBeforeUnknown)
            return "the module's controller was given its firmware from its loader and reports " +
                   FRun.FirmwareAfter;
        return "the module's controller went from " + FRun.FirmwareBefore + " to " + FRun.FirmwareAfter;
    }
    const std::string Title = FRun.FirmwareTitle.empty() ? "" : " (" + FRun.FirmwareTitle + ")";
    if (FRun.FirmwareBefore == FRun.FirmwareAfter)
        return "the unit was given its firmware" + Title + " and reports " + FRun.FirmwareAfter + " as before";
    return "the unit's firmware went from " + FRun.FirmwareBefore + " to " + FRun.FirmwareAfter + Title;
}

void TUpdateSession::TransferStarting(TSource Source)
{
    if (!FRun.Active)
        BeginRun(false);
    FRun.Transfer = Source;
    FRun.Transferred = false;
    FRun.ReceiverBefore = FReported;
    FRun.TransferClock.start();
    FRun.TransferSentAtStart = CX.BytesSent() + MX.BytesSent();
    FRun.TransferEnded = false;
}

// The last record or block went out: the transfer's pace is measured up to here.
void TUpdateSession::TransferEnded()
{
    if (!FRun.TransferClock.isValid() || FRun.TransferEnded)
        return;
    FRun.TransferEnded = true;
    FRun.TransferSeconds = static_cast<double>(FRun.TransferClock.elapsed()) / 1000.0;
    FRun.TransferLineBytes = CX.BytesSent() + MX.BytesSent() - FRun.TransferSentAtStart;
    FRun.LineRate = LineRate();
}

uint32_t TUpdateSession::LineRate() const
{
    return FDisplay.DeviceType == dtExternalGPS ? cCom1.LineRate() : CX.Port().LineRate();
}

TTransferProgress TUpdateSession::TransferProgress() const
{
    TTransferProgress P;
    P.Active = FRun.Active && FRun.Transfer != TSource::None && FRun.TransferClock.isValid() &&
               !FRun.TransferEnded && FImage;
    if (!P.Active)
        return P;
    P.Seconds = static_cast<double>(FRun.TransferClock.elapsed()) / 1000.0;
    P.ImageBytes = FImage->size();
    // The unit's records and the module's blocks cut the image evenly.
    const TProgressBarState& Bar =
        FDisplay.DeviceType == dtExternalGPS ? FDisplay.pUpdateProgress : FDisplay.pSendProgress;
    const bool Counting =
        FDisplay.DeviceType == dtExternalGPS ? FUpdateState == usBusy : FUpdateState == usTransferStart;
    if (Counting && Bar.Maximum > 0)
        P.ImageDone = P.ImageBytes * static_cast<uint64_t>(Bar.Position) / static_cast<uint64_t>(Bar.Maximum);
    P.LineBytes = CX.BytesSent() + MX.BytesSent() - FRun.TransferSentAtStart;
    P.LineRate = LineRate();
    return P;
}

void TUpdateSession::UpdateStatus()
{
    // The device type is chosen again once nothing runs on the connection.
    FDisplay.DeviceTypeLocked = FRun.Active || FConfirm.Active || tEnding.isActive();
    TStatusFacts F;
    F.PortOpen = FDisplay.DeviceType == dtExternalGPS ? cCom1.Active() : CX.Active();
    F.Port = PortText();
    F.NoPortChosen = FNoPortChosen;
    F.SilentSeconds = FSilentSeconds;
    F.RunActive = FRun.Active;
    F.Outcome = FOutcome ? &*FOutcome : nullptr;
    const TSessionStatus Status = SessionStatus(FDisplay, F);
    FDisplay.Status = Status.Text;
    FDisplay.StatusStep = Status.Step;
}

void TUpdateSession::EndRun(TOutcomeKind Kind, const std::string& Message)
{
    if (!FRun.Active)
        return;
    FRun.Active = false;
    TUpdateOutcome O;
    O.Kind = Kind;
    O.Message = Message;
    // Firmware written is an update, whatever the receiver did; the message names it.
    const std::string Written = FirmwareNote();
    if (!Written.empty()) {
        if (Kind == TOutcomeKind::UpToDate || Kind == TOutcomeKind::ManualFinished ||
            Kind == TOutcomeKind::NotSupported) {
            O.Kind = TOutcomeKind::Updated;
            O.Message = Written + "; " + Message;
        } else {
            O.Message = Message + "; " + Written;
        }
    }
    const bool Module = FDisplay.DeviceType == dtExternalGPS;
    O.Device = Module ? "egps" : "veltrac";
    O.DeviceID = FRun.DeviceID.empty() ? FDisplay.vUnitID : FRun.DeviceID;
    O.FirmwareBefore = FRun.FirmwareBeforeUnknown ? "loader" : FRun.FirmwareBefore;
    O.FirmwareBeforeUnknown = FRun.FirmwareBeforeUnknown;
    O.FirmwareWritten = FRun.FirmwareWritten;
    O.FirmwareAfter = FRun.FirmwareAfter;
    O.ReceiverBefore = FRun.Transfer != TSource::None ? FRun.ReceiverBefore : FReported;
    O.ReceiverAfter = FReported;
    O.ReceiverRequired = FConfirm.Expected.empty() ? FDisplay.vGPSNeeded : FConfirm.Expected;
    if (O.ReceiverRequired == SessionText::NotSupported)
        O.ReceiverRequired.clear();
    if (FRun.Transfer != TSource::None && FImage) {
        O.ImageName = FImageName;
        O.ImageSha256 = Sha256Hex(*FImage);
        O.ImageBytes = FImage->size();
    }
    O.Transferred = FRun.Transferred;
    TransferEnded();
    O.TransferSeconds = FRun.TransferSeconds;
    O.TransferLineBytes = FRun.TransferLineBytes;
    O.LineRate = FRun.LineRate;
    O.BytesSent = CX.BytesSent() + MX.BytesSent() - FRun.SentAtStart;
    O.Seconds = FRun.Clock.isValid() ? static_cast<double>(FRun.Clock.elapsed()) / 1000.0 : 0.0;
    O.ComNumber = FDisplay.ComNumber;
    const std::string& Path = Module ? cCom1.DevicePath() : CX.Port().DevicePath();
    O.DevicePath = Path.empty() ? ComPortDevicePath(FDisplay.ComNumber) : Path;
    FOutcome = O;
    // As a unit is switched off when it is updated or up to date; after other
    // ends the technician may still send a custom image or a recovery.
    if (Module && (O.Kind == TOutcomeKind::Updated || O.Kind == TOutcomeKind::UpToDate))
        ReleaseModulePortLater();
    emit Finished(O);
}

void TUpdateSession::ReleaseModulePortLater()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            Entry(true, [&] {
                if (FRun.Active || FConfirm.Active || FDisplay.DeviceType != dtExternalGPS)
                    return;
                TimerE3.stop();
                tSilence.stop();
                cCom1.Close();
            });
        },
        Qt::QueuedConnection);
}

// ---------------------------------------------------------------- confirming a transfer

void TUpdateSession::StartConfirmation(bool Certain)
{
    FConfirm = TConfirmation();
    FConfirm.Active = true;
    FConfirm.Certain = Certain;
    FConfirm.Source = FRun.Transfer == TSource::None ? TSource::Automatic : FRun.Transfer;
    FConfirm.DeviceID = FDisplay.vUnitID;
    FConfirm.Before = FRun.ReceiverBefore;
    FConfirm.Shown = FDisplay.vGPSNeeded;
    // A chosen file's name need not be the version text inside it; the
    // archive's images (the automatic choice, a recovery) are named by theirs.
    if (FConfirm.Source != TSource::Custom)
        FConfirm.Expected = FDisplay.vGPSNeeded;
    FConfirm.Since.start();
    FRun.Transferred = Certain;
    TransferEnded();
    FDisplay.Confirming = true;
    tConfirm.setInterval(Certain ? FConfirmTimeoutMs : std::min(FConfirmTimeoutMs, UncertainConfirmMs));
    tConfirm.start();
}

void TUpdateSession::ConfirmationProgress()
{
    if (FConfirm.Active)
        tConfirm.start();
}

void TUpdateSession::StopConfirmation()
{
    FConfirm.Active = false;
    tConfirm.stop();
    tProgramQuiet.stop();
    FDisplay.Confirming = false;
}

void TUpdateSession::SuspendConfirmation()
{
    if (FConfirm.Active)
        FSuspended = FConfirm;
}

bool TUpdateSession::ResumeConfirmation(const std::string& DeviceID)
{
    if (!FSuspended)
        return false;
    TConfirmation C = *FSuspended;
    FSuspended.reset();
    if (FConfirm.Active || C.DeviceID != DeviceID || C.Since.elapsed() >= FConfirmTimeoutMs)
        return false;
    // The same device, which may still be programming: nothing is sent to
    // it but the questions that follow its programming to the end.
    FConfirm = C;
    FConfirm.Active = true;
    FRun.Transfer = C.Source;
    FRun.Transferred = C.Certain;
    FRun.ReceiverBefore = C.Before;
    FRun.TransferEnded = true;
    FDisplay.Confirming = true;
    FDisplay.vGPSNeeded = C.Shown;
    tConfirm.setInterval(FConfirmTimeoutMs);
    tConfirm.start();
    if (FDisplay.DeviceType == dtVeltrac) {
        // 65352 := 1 went out in this run: a unit that programs now programs
        // what it was sent. Programming ran before the link was lost; a quiet
        // unit from here on has ended it.
        FConfirm.ProgramAcked = true;
        if (FConfirm.Ran)
            tProgramQuiet.start(FProgramQuietMs);
        SetState(usBusy);
        FProgramStartPending = false;
        CX.SetLoggerReports(true);
        RequestGPSVersion();
    } else {
        SetState(usIdle);
        // The module came back after its status 02: a fresh identification.
        if (FConfirm.Status02)
            FConfirm.Ended = true;
    }
    Trace("# the device may still be programming: following it to the end");
    return true;
}

void TUpdateSession::tProgramQuietTimer()
{
    // No logger status for a while after some came: the unit is done.
    if (FConfirm.Active && FConfirm.Ran)
        ProgrammingEnded();
}

void TUpdateSession::ProgrammingEnded()
{
    if (!FConfirm.Active || FConfirm.Ended)
        return;
    FConfirm.Ended = true;
    tProgramQuiet.stop();
    ConfirmationProgress();
    // Ask now rather than at the next poll.
    if (FDisplay.DeviceType == dtVeltrac && FUpdateState == usBusy && !FProgramStartPending && CX.Connected())
        RequestGPSVersion();
}

void TUpdateSession::ReceiverReported(const std::string& Version)
{
    FReported = Version;
    if (FConfirm.Active)
        ConfirmVersion(Version);
    else
        CheckGPSVersion(Version);
}

// A version read while confirming is compared only: it never chooses an
// image or starts a transfer. A receiver that is about to program or is
// programming reports its old version or nothing, so only evidence decides.
void TUpdateSession::ConfirmVersion(const std::string& Version)
{
    FDisplay.vGPSCurrent = Version;
    FDisplay.vGPSNeeded = FConfirm.Shown;
    if (Version != (FConfirm.Answered ? FConfirm.LastAnswer : FConfirm.Before))
        ConfirmationProgress();
    if (!FConfirm.Answered)
        FConfirm.FirstAnswer = Version;
    FConfirm.Answered = true;
    FConfirm.LastAnswer = Version;

    const bool Known = !FConfirm.Expected.empty();
    // Only a programmed receiver can report the version the tool sent, if it ran another before.
    if (Known && Version == FConfirm.Expected && Version != FConfirm.Before) {
        Confirmed(Version);
        return;
    }
    // A receiver whose answer changed while the session watched was programmed.
    if (Version != FConfirm.FirstAnswer)
        FConfirm.Ended = true;
    if (!FConfirm.Ended)
        return; // the old version, read before or while it programs: nothing is decided
    if (!Known || Version == FConfirm.Expected) {
        Confirmed(Version);
        return;
    }
    StopConfirmation();
    SetState(usFinished);
    EndRun(TOutcomeKind::Failed, "after programming the receiver reports " + Quoted(Version) +
                                     ", not the required " + Quoted(FConfirm.Expected));
}

void TUpdateSession::Confirmed(const std::string& Version)
{
    StopConfirmation();
    FRun.Transferred = true;
    SetState(usFinished);
    if (FDisplay.DeviceType == dtVeltrac)
        StartEnding(TEnding::TurnOff);
    EndRun(TOutcomeKind::Updated, "the receiver was updated to " + Quoted(Version));
}

void TUpdateSession::tConfirmTimer()
{
    if (!FConfirm.Active)
        return;
    const TConfirmation C = FConfirm;
    StopConfirmation();
    if (!C.Certain && !C.Ended) {
        // The receiver kept its old version well past any programming: the
        // last block never arrived. An automatic update decides again.
        if (C.Source == TSource::Automatic && C.Answered && FUpdateState == usIdle) {
            CheckGPSVersion(C.LastAnswer);
            return;
        }
        if (C.Source != TSource::Automatic) {
            SetState(usFinished);
            EndRun(TOutcomeKind::Failed,
                   "the image did not reach the device completely; the receiver reports " +
                       (C.Answered ? Quoted(C.LastAnswer) : std::string("no version")));
            return;
        }
    }
    SetState(usFinished);
    const std::string Seconds = std::to_string(tConfirm.interval() / 1000) + " s";
    const std::string Reports =
        ": it reported " + (C.Before.empty() ? std::string("no version") : Quoted(C.Before)) + " before and " +
        (C.Answered ? "reports " + Quoted(C.LastAnswer) : std::string("reports no version")) + " now";
    if (C.Ended)
        EndRun(TOutcomeKind::NotConfirmed,
               "the device programmed the image, but the receiver did not report the new version within " +
                   Seconds + Reports);
    else
        EndRun(TOutcomeKind::NotConfirmed,
               "the image was sent, but the device gave no sign within " + Seconds +
                   " that its receiver was programmed" + Reports);
}
