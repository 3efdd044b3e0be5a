#include "app/UpdateSession.h"

#include "app/SessionStatus.h"

#include "firmware/Keys.h"
#include "firmware/MyCrypt.h"
#include "firmware/ReceiverImages.h"
#include "firmware/Resources.h"
#include "serial/AppException.h"
#include "serial/PortAdapter.h"
#include "serial/PortError.h"
#include "serial/PortMap.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"


namespace
{

constexpr int ModuleRetryMs = 2000;
constexpr int VersionRetryMs = 2000;
// The status line says a freshly opened device is silent after 10 s, then every 30 s.
constexpr int FirstSilenceMs = 10000;
constexpr int SilenceStepMs = 30000;

std::string ResourceBytes(std::string_view Name)
{
    const auto Bytes = FindResource(Name);
    return Bytes ? std::string(*Bytes) : std::string();
}

} // namespace

using SessionText::Quoted;

template <typename... A> auto TUpdateSession::Handler(void (TUpdateSession::*Method)(A...))
{
    return [this, Method](A... Args) { Entry(true, [&] { (this->*Method)(Args...); }); };
}

TUpdateSession::TUpdateSession(const std::vector<std::string>& Arguments, QObject* Parent)
    : QObject(Parent), cCom1(MX.Port()), FUnitTransfer(CX, *this), FModuleTransfer(MX, *this), FConfirm(*this),
      FLinkEnding(CX, *this)
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
    CX.OnAfterOpen = Handler(&TUpdateSession::CXAfterOpen);
    CX.OnGotVersionInfo = Handler(&TUpdateSession::CXGotVersionInfo);
    CX.OnGPSLocation = Handler(&TUpdateSession::CXGPSLocation);
    CX.OnRequestParameter = Handler(&TUpdateSession::CXRequestParameter);
    CX.OnSetParameter = Handler(&TUpdateSession::CXSetParameter);
    CX.OnEEPromDataWrite = Handler(&TUpdateSession::CXEEPromDataWrite);
    CX.OnLoggerStatus = Handler(&TUpdateSession::CXLoggerStatus);
    CX.OnFastSpeed = Handler(&TUpdateSession::CXFastSpeed);
    CX.OnSoftwareUpdate = Handler(&TUpdateSession::CXSoftwareUpdate);
    // The unit asked for the end block: it restarts on what it pulled.
    CX.OnSoftwareUpdateComplete = [this](TCorvex*) { Entry(true, [&] { FRun.UnitFirmwarePulled(); }); };
    CX.OnWakeUpAgain = [this](TCorvex*) { Entry(true, [&] { FRun.Repeated(TRunRecord::TRepeat::WakeUp); }); };

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
    MX.OnIdentity = Handler(&TUpdateSession::MXIdentity);
    MX.OnReceiverVersion = Handler(&TUpdateSession::MXReceiverVersion);
    MX.OnReceiverReady = Handler(&TUpdateSession::MXReceiverReady);
    MX.OnStatus = Handler(&TUpdateSession::MXStatus);
    MX.OnDot = Handler(&TUpdateSession::MXDot);
    MX.OnControllerStarted = Handler(&TUpdateSession::MXControllerStarted);
    MX.OnControllerProgress = Handler(&TUpdateSession::MXControllerProgress);
    MX.OnControllerBlock = [this](TModuleLink*, int32_t Block) {
        Entry(true, [&] { FRun.FirmwareBlockServed(Block); });
    };
    cCom1.OnDataRecived = Handler(&TUpdateSession::cCom1DataRecived);
    cCom1.OnPortOpen = Handler(&TUpdateSession::cCom1PortOpen);
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
    tVersionRetry.setInterval(VersionRetryMs);
    connect(&TimerE3, &QTimer::timeout, this, [this] {
        Entry(true, [&] {
            // The module left the last identify unanswered: it is asked again.
            if (FDisplay.vVersion.empty())
                FRun.Repeated(TRunRecord::TRepeat::WakeUp);
            TimerE3Timer();
        });
    });
    connect(&tVersionRetry, &QTimer::timeout, this, Handler(&TUpdateSession::tVersionRetryTimer));
    connect(&tSilence, &QTimer::timeout, this, [this] {
        Entry(true, [&] {
            FSilentSeconds += tSilence.interval() / 1000;
            const int Said = FSilentSeconds * 1000;
            tSilence.setInterval(Said < SilenceStepMs ? SilenceStepMs - Said : SilenceStepMs);
        });
    });

    FImages.OnNote = [this](const std::string& Note) { Trace("# " + Note); };
    FDisplay.Caption = SessionText::Caption;
    FormCreate(Arguments);
    UpdateStatus();
}

TUpdateSession::~TUpdateSession()
{
    FormDestroy();
}

bool TUpdateSession::OwnsException(const void* Owner) const
{
    return Owner && (Owner == this || Owner == &CX || Owner == &CX.Port() || Owner == &MX || Owner == &MX.Port());
}

template <typename F> void TUpdateSession::Entry(bool Catch, F&& Body)
{
    const TExceptionOwner Owner(this);
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
            FLinkEnding.Stop();
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
    FConfirm.SetTimeout(Milliseconds);
}

void TUpdateSession::SetProgramQuietTime(int Milliseconds)
{
    FConfirm.SetQuietTime(Milliseconds);
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

void TUpdateSession::SetState(TUpdateState Value)
{
    FUpdateState = Value;
    // The receiver's version is asked for while the unit programs, in no other state.
    if (Value != TUpdateState::Busy)
        FUnitTransfer.StopVersionPoll();
    FDisplay.UpdateState = Value;
    // What the module's bytes are in this state, besides frames.
    switch (Value) {
    case TUpdateState::Idle:
        MX.SetReceive(TModuleReceive::Listen);
        break;
    case TUpdateState::TransferStart:
    case TUpdateState::ModuleWaiting:
        MX.SetReceive(TModuleReceive::Preparing);
        break;
    case TUpdateState::ModuleFirmware:
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
        FUnitTransfer.Stop();
        FModuleTransfer.Stop();
        FImages.Clear();
        FModuleUpdate.Clear();
        LoadModuleFirmware();
        LoadGPSFirmware();
        ResetDisplay();
    });
}

void TUpdateSession::FormDestroy()
{
    TimerE3.stop();
    FUnitTransfer.Stop();
    tVersionRetry.stop();
    FConfirm.Stop();
    FLinkEnding.Stop();
    FEndingDone = nullptr;
    // The links close before the lamps they flash go away with the front end.
    CX.Close(true);
    cCom1.Close();
    SetLamps(nullptr, nullptr, nullptr);
    FModuleTransfer.Stop();
    FImages.Clear();
    FModuleUpdate.Clear();
}

void TUpdateSession::ResetDisplay()
{
    SetState(TUpdateState::Idle);
    FUnitTransfer.ForgetUpdateParameter();
    FDisplay.ForgetDevice();
    // A transfer through the unit, and what it was waiting for, ends with it.
    FUnitTransfer.Stop();
    FModuleTransfer.Stop();
    FAwaitingVersion = false;
    tVersionRetry.stop();
    // A confirmation outlives the session's own restarts.
    FDisplay.Confirming = FConfirm.Active();
}

void TUpdateSession::LoadModuleFirmware()
{
    TSoftwareVersionCollection Versions;
    Versions.LoadFromEfw(ResourceBytes("egps_fw"));
    FModuleUpdate.Clear();
    FModuleUpdate.Select(Versions, "*");
}

// The embedded package is deciphered and opened once while any session of
// the program holds it: a command over many devices shares one.
void TUpdateSession::LoadGPSFirmware()
{
    static std::weak_ptr<const TFirmwarePackage> Shared;
    std::shared_ptr<const TFirmwarePackage> Package = Shared.lock();
    if (!Package) {
        Package = std::make_shared<const TFirmwarePackage>(ResourceBytes("gps_fw"), ImageKey());
        Shared = Package;
    }
    UseGPSFirmware(std::move(Package));
}

void TUpdateSession::LoadGPSFirmwareImage(const std::string& Resource)
{
    UseGPSFirmware(std::make_shared<const TFirmwarePackage>(Resource, ImageKey()));
}

void TUpdateSession::UseGPSFirmware(std::shared_ptr<const TFirmwarePackage> Package)
{
    Entry(false, [&] {
        FImages.UsePackage(std::move(Package));
        FDisplay.Caption = SessionText::Caption + IfStr(UnitFirmware().Count() > 0, " + Veltrac", "") + " (" +
                           FImages.Label() + ")";
    });
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
        StopConfirmation(true);
        FConfirm.ForgetExpired();
        FLinkEnding.Stop();
        FEndingDone = nullptr;
        FReported.clear();
        FReceiverCannotReport = false;
        FPlanDone = false;
        // A unit that may be programming is only woken: the end-of-connection
        // frames that usually go first would end its link.
        CX.SetCloseBeforeOpen(!FConfirm.Suspended());
        BeginRun(true);
        try {
            OpenConnection();
        } catch (const std::exception& E) {
            // The connection did not open: this run is over.
            EndRun(IsPortError(E) ? TOutcomeKind::PortError : TOutcomeKind::Failed, E.what());
            throw;
        }
    });
}

void TUpdateSession::OpenConnection()
{
    const int n = FDisplay.ComNumber;
    if (n == 0)
        return;
    FRun.IdentifyStarting();
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
        const bool Programming = FConfirm.Active();
        StopConfirmation(true);
        FLinkEnding.Stop();
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
        const bool Programming = FConfirm.Active();
        StopConfirmation(true);
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

void TUpdateSession::RefuseRun(TOutcomeKind Kind, const std::string& Message)
{
    Entry(false, [&] {
        if (!FRun.Active)
            BeginRun(true);
        EndRun(Kind, Message);
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
        if (FLinkEnding.How() == TEnding::TurnOff) {
            FLinkEnding.WatchAgain();
            return;
        }
        StartEnding(TEnding::Close);
    });
}

void TUpdateSession::StartEnding(TEnding How)
{
    FUnitTransfer.Stop();
    tVersionRetry.stop();
    FAwaitingVersion = false;
    FLinkEnding.Start(How);
}

void TUpdateSession::LinkEnded()
{
    FinishEnding();
}

void TUpdateSession::FinishEnding()
{
    FLinkEnding.StopWatching();
    if (!FEndingDone) {
        // "Off": the unit's answer ended the link (or it did not answer); the
        // session stays still until the user presses Open or Close.
        return;
    }
    const std::function<void()> Done = std::move(FEndingDone);
    FEndingDone = nullptr;
    FLinkEnding.Stop();
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
    const std::string Message = SessionText::Disappeared(PortText(), Module, FConfirm.Active(), FUpdateState);
    StopConfirmation(true);
    FLinkEnding.Stop();
    ClosePorts();
    EndRun(TOutcomeKind::PortError, Message);
    if (FEndingDone)
        FinishEnding();
}

void TUpdateSession::CXAfterOpen(TCorvex* /*Sender*/)
{
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

void TUpdateSession::CXGotVersionInfo(TCorvex* /*Sender*/, const TCX_VersionInfo& Info)
{
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
    SetState(TUpdateState::UnitFirmware);
    FDisplay.vGPSCurrent = SessionText::UpdatingUnit + Title;
    FRun.FirmwareStarting(Title);
}

void TUpdateSession::CXSoftwareUpdate(TCorvex* /*Sender*/, int32_t Block, int32_t Percent)
{
    FRun.FirmwareBlockServed(Block);
    FDisplay.pUpdateProgress.Set(Percent, 100);
    FDisplay.vProgress = std::to_string(Percent) + "%";
}

void TUpdateSession::CXGPSLocation(TCorvex* /*Sender*/, const TCX_GPSLocation& /*GPSLocation*/)
{
    if (lGPSData)
        lGPSData->Trigger();
    if (Ending())
        return;
    if (FUpdateState == TUpdateState::Idle)
        CX.RequestParameter(FUnitTransfer.GPSReady() > 0 ? TUnitTransfer::ParamGPSVersion
                                                        : TUnitTransfer::ParamGPSUpdate);
    else if (FUpdateState == TUpdateState::Busy && !FUnitTransfer.ProgramStartPending())
        FUnitTransfer.RequestVersion();
}

void TUpdateSession::CXRequestParameter(TCorvex* /*Sender*/, int32_t Parameter, bool /*Valid*/,
                                        const std::string& Value, const std::string& /*HexValue*/)
{
    if (Ending())
        return;
    if (Parameter == TUnitTransfer::ParamGPSUpdate) {
        if (FUnitTransfer.TakeUpdateParameter(Value))
            FReceiverCannotReport = FUnitTransfer.GPSReady() <= 0;
        else
            FDisplay.vGPSCurrent = SessionText::NotSupported;
        // Once a transfer has begun no further command may go out between a
        // send and its acknowledgement, which the link reads by the last
        // command; logger reports are on by then.
        const bool Idle = FUpdateState == TUpdateState::Idle;
        if (Idle)
            CX.SetLoggerReports(true);
        if (Value.empty())
            EndRun(TOutcomeKind::NotSupported, "the unit does not support receiver updates");
        else if (Idle && FReceiverCannotReport && !FConfirm.Active())
            RunPlan(true);
    } else if (Parameter == TUnitTransfer::ParamGPSVersion && !Value.empty()) {
        // A second answer may come while records are being written: then no command.
        if (FUpdateState == TUpdateState::Idle ||
            (FUpdateState == TUpdateState::Busy && !FUnitTransfer.ProgramStartPending()))
            CX.SetGPSReports(false, false);
        ReceiverReported(Value);
    }
}

// ---------------------------------------------------------------- transfer through the unit

void TUpdateSession::StartUnitTransfer()
{
    if (!Image()) {
        ShowError(SessionText::NoImage);
        return;
    }
    FUnitTransfer.Start(*Image());
}

void TUpdateSession::CXFastSpeed(TCorvex* /*Sender*/)
{
    if (!Ending())
        FUnitTransfer.FastSpeedAnswered();
}

void TUpdateSession::CXEEPromDataWrite(TCorvex* /*Sender*/, bool Result)
{
    if (!Ending())
        FUnitTransfer.Answered(Result);
}

void TUpdateSession::CXSetParameter(TCorvex* /*Sender*/, int32_t /*Parameter*/, bool Success)
{
    // the link names the last parameter set, whatever the answer belongs to
    if (!Ending())
        FUnitTransfer.Answered(Success);
}

void TUpdateSession::tWriteRetryTimer()
{
    FUnitTransfer.RetryTick();
}

void TUpdateSession::tGPSVersionPollTimer()
{
    FUnitTransfer.PollTick();
}

void TUpdateSession::CXLoggerStatus(TCorvex* /*Sender*/, const TCX_LoggerStatus& Status)
{
    if (FUpdateState == TUpdateState::Busy && !Ending())
        FUnitTransfer.LoggerStatus();
    if (Ending()) {
        FConfirm.Progress();
    } else {
        FRun.ProgrammingSign();
        if (FConfirm.LoggerStatus(Status.Current, Status.Total))
            ProgrammingEnded();
    }
    TProgressBarState& Bar = FDisplay.pUpdateProgress;
    Bar.Set(Status.Current, Status.Total);
    FDisplay.vProgress = Status.Current == 0 ? "" : std::to_string(Bar.Percent()) + "%";
}

// ---------------------------------------------------------------- what the transfers report

void TUpdateSession::Step(const std::function<void()>& Body)
{
    Entry(true, Body);
}

void TUpdateSession::TransferState(TUpdateState State)
{
    SetState(State);
}

void TUpdateSession::SendBar(int Position, int Maximum)
{
    FDisplay.pSendProgress.Set(Position, Maximum);
}

void TUpdateSession::UpdateBar(int Position, int Maximum)
{
    FDisplay.pUpdateProgress.Set(Position, Maximum);
}

void TUpdateSession::ProgressText(const std::string& Text)
{
    FDisplay.vProgress = Text;
}

void TUpdateSession::TransferComplete(bool Certain)
{
    StartConfirmation(Certain);
}

void TUpdateSession::TransferFailed(TOutcomeKind Kind, const std::string& Message)
{
    EndRun(Kind, Message);
}

void TUpdateSession::ProgramStarted()
{
    FConfirm.ProgramAcknowledged();
}

void TUpdateSession::RecordSentAgain()
{
    FRun.Repeated(TRunRecord::TRepeat::Record);
}

void TUpdateSession::BlockSentAgain()
{
    FRun.Repeated(TRunRecord::TRepeat::Block);
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

void TUpdateSession::cCom1PortOpen(TComPort* /*Sender*/)
{
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
    else if (FConfirm.Active() && FUpdateState == TUpdateState::Idle && FDisplay.DeviceType == dtExternalGPS)
        SendToGPS("Q"); // until the programmed receiver reports its new version
}

void TUpdateSession::cCom1DataRecived(TComPort* /*Sender*/, int32_t /*Count*/)
{
    MX.DataReceived();
}

void TUpdateSession::ModuleReceived(const std::string& Bytes)
{
    Entry(false, [&] { MX.Received(Bytes); });
}

void TUpdateSession::MXControllerStarted(TModuleLink* /*Sender*/)
{
    SetState(TUpdateState::ModuleFirmware);
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
    FRun.FirmwareStarting();
}

void TUpdateSession::MXControllerProgress(TModuleLink* /*Sender*/, bool Active, double Percent)
{
    if (Active) {
        FDisplay.pUpdateProgress.Set(static_cast<int>(Percent), 100);
    } else if (FDisplay.pUpdateProgress.Position > 50) {
        // The controller finished and runs its new firmware: start again; its
        // identification says whether it took it.
        FRun.ControllerSent = true;
        OpenConnection();
    }
}

void TUpdateSession::MXDot(TModuleLink* /*Sender*/)
{
    FModuleTransfer.Dot();
}

void TUpdateSession::MXStatus(TModuleLink* /*Sender*/, TModuleStatus Status)
{
    if (FConfirm.Active()) {
        // The module took the whole image: its statuses now only show it
        // is busy. A status 02 (programming ended, or failed) is followed
        // from identification; the version it then reports decides.
        FConfirm.Progress();
        if (Status == TModuleStatus::Refused) {
            FConfirm.ModuleStatus02();
            FRun.ProgrammingEnded();
            OpenConnection();
        }
        return;
    }
    FModuleTransfer.Status(Status);
}

void TUpdateSession::MXIdentity(TModuleLink* /*Sender*/, const TModuleIdentity& Identity)
{
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
            SetState(TUpdateState::Finished);
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
    FConfirm.ModuleIdentified();
    if (Identity.Version >= 2.0) {
        // A recovery is for a receiver that cannot report: it goes right after identification.
        if (FPlan == TSource::Recovery && !FPlanDone && !FConfirm.Active() && FUpdateState == TUpdateState::Idle)
            RunPlan(true);
        else
            TimerE3Timer();
    } else {
        TimerE3.stop();
        SetState(TUpdateState::ModuleFirmware);
        FDisplay.vGPSCurrent = SessionText::UpdatingModule;
        MX.SendStartControllerUpdate();
        FRun.FirmwareStarting();
    }
}

void TUpdateSession::MXReceiverVersion(TModuleLink* /*Sender*/, const std::string& Version)
{
    ReceiverReported(Version);
}

void TUpdateSession::MXReceiverReady(TModuleLink* /*Sender*/)
{
    FModuleTransfer.ReceiverReady();
}

void TUpdateSession::StartModuleTransfer()
{
    if (!Image()) {
        FModuleTransfer.Stop();
        ShowError(SessionText::NoImage);
        return;
    }
    switch (FModuleTransfer.Start(*Image())) {
    case TMediaTekCheck::TooShort:
        ShowError(SessionText::ImageTooShort);
        EndRun(TOutcomeKind::BadImage, ImageName() +
                                           " is shorter than the 448-byte header of a receiver image; "
                                           "nothing was sent");
        return;
    case TMediaTekCheck::NotMediaTek:
        // Not sent, silently, as the window does; the run still says why.
        EndRun(TOutcomeKind::BadImage, ImageName() + " is not a MediaTek receiver image; nothing was sent");
        return;
    case TMediaTekCheck::Ok:
        break;
    }
}

void TUpdateSession::StartAgain()
{
    OpenConnection();
}

// An image the technician chose is not sent again; the archive's is, from identification.
void TUpdateSession::BlockRefused()
{
    if (FRun.Transfer == TSource::Custom || FRun.Transfer == TSource::Recovery)
        EndRun(TOutcomeKind::Failed, "the module refused the image (status 02); the receiver was not programmed");
    OpenConnection();
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
        SetState(TUpdateState::Finished);
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
        SetState(TUpdateState::Finished);
        EndRun(TOutcomeKind::NotSupported, "the tool has no image for the receiver's version " + Quoted(Version));
        return;
    }
    if (Version == FDisplay.vGPSNeeded) {
        if (FDisplay.DeviceType == dtVeltrac)
            StartEnding(TEnding::TurnOff);
        SetState(TUpdateState::Finished);
        EndRun(TOutcomeKind::UpToDate, "the receiver already runs " + Quoted(Version));
        return;
    }
    if (FUpdateState != TUpdateState::Idle)
        return;
    SetState(TUpdateState::TransferStart);
    TransferStarting(Source);
    if (FDisplay.DeviceType == dtVeltrac)
        StartUnitTransfer();
    else
        StartModuleTransfer();
}

bool TUpdateSession::FindRequiredImage(const std::string& Version)
{
    const std::optional<std::string> Needed = FImages.Required(Version);
    FDisplay.vGPSNeeded = Needed ? *Needed : SessionText::NotSupported;
    return Needed.has_value();
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
        if (!FImages.LoadFile(FileName)) {
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
        if (FDisplay.DeviceType == dtExternalGPS && CheckMediaTekImage(*Image()) == TMediaTekCheck::TooShort) {
            ShowError(SessionText::ImageTooShort);
            EndRun(TOutcomeKind::BadImage, FileName + " is shorter than the 448-byte header of a receiver "
                                                      "image; nothing was sent");
            return;
        }
        if (FDisplay.vGPSCurrent.empty())
            FDisplay.vGPSCurrent = SessionText::ManualUpdate;
        FDisplay.vGPSNeeded = FileNameNoExt(FileName);
        SetState(TUpdateState::TransferStart);
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
    if (FPlan == TSource::None || FPlanDone || FConfirm.Active())
        return;
    if (FPlan == TSource::Recovery && !UnreadableReceiver)
        return;
    FPlanDone = true;
    QMetaObject::invokeMethod(
        this, [this] { Entry(true, [&] { RunPlanNow(); }); }, Qt::QueuedConnection);
}

void TUpdateSession::RunPlanNow()
{
    if (FConfirm.Active() || Ending())
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
    if (!FConfirm.Active())
        return false;
    ShowError(SessionText::StillProgramming);
    return true;
}

// ---------------------------------------------------------------- runs

void TUpdateSession::BeginRun(bool Fresh)
{
    if (Fresh)
        FRun.Begin(SentNow());
    else
        FRun.Begin(SentNow(), FDisplay.vUnitID, FDisplay.vVersion);
    // Now, while the device is there: one unplugged later has no sysfs entry left.
    FRun.Adapter = DescribePortAdapter(DevicePath());
    FOutcome.reset();
}

void TUpdateSession::Identified(const std::string& DeviceID, const std::string& Firmware)
{
    tSilence.stop();
    FSilentSeconds = 0;
    FRun.Identified(DeviceID, Firmware);
    FRun.Model = FDisplay.vClass;
    FRun.Hardware = FDisplay.vVersionInfo;
    FRun.HardwareRevision = FDisplay.vHWVer;
}

void TUpdateSession::TransferStarting(TSource Source)
{
    if (!FRun.Active)
        BeginRun(false);
    FRun.TransferStarting(Source, FReported, SentNow());
}

// The last record or block went out: the transfer's pace is measured up to here.
void TUpdateSession::TransferEnded()
{
    FRun.TransferDone(SentNow(), LineRate());
}

std::string TUpdateSession::DevicePath() const
{
    const std::string& Path =
        FDisplay.DeviceType == dtExternalGPS ? cCom1.DevicePath() : CX.Port().DevicePath();
    return Path.empty() ? ComPortDevicePath(FDisplay.ComNumber) : Path;
}

uint64_t TUpdateSession::SentNow() const
{
    return CX.BytesSent() + MX.BytesSent();
}

uint32_t TUpdateSession::LineRate() const
{
    return FDisplay.DeviceType == dtExternalGPS ? cCom1.LineRate() : CX.Port().LineRate();
}

TTransferProgress TUpdateSession::TransferProgress() const
{
    // The unit's records and the module's blocks cut the image evenly.
    const bool Module = FDisplay.DeviceType == dtExternalGPS;
    const bool Counting = FUpdateState == (Module ? TUpdateState::Busy : TUpdateState::TransferStart);
    const TProgressBarState& Bar = Module ? FDisplay.pUpdateProgress : FDisplay.pSendProgress;
    return FRun.Progress(Image() ? &*Image() : nullptr, Counting ? &Bar : nullptr, SentNow(), LineRate());
}

void TUpdateSession::UpdateStatus()
{
    // The device type is chosen again once nothing runs on the connection.
    FDisplay.DeviceTypeLocked = FRun.Active || FConfirm.Active() || FLinkEnding.Watching();
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
    const bool Module = FDisplay.DeviceType == dtExternalGPS;
    TRunEnd At;
    At.ExternalGPS = Module;
    At.DeviceIDShown = FDisplay.vUnitID;
    At.ReceiverReported = FReported;
    At.RequiredShown = FDisplay.vGPSNeeded;
    At.Image = Image() ? &*Image() : nullptr;
    At.ImageName = ImageName();
    At.SentNow = SentNow();
    At.LineRate = LineRate();
    At.ComNumber = FDisplay.ComNumber;
    At.DevicePath = DevicePath();
    const TUpdateOutcome O = FRun.End(Kind, Message, At);
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
                if (FRun.Active || FConfirm.Active() || FDisplay.DeviceType != dtExternalGPS)
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
    TConfirmationStart C;
    C.Certain = Certain;
    C.Source = FRun.Transfer == TSource::None ? TSource::Automatic : FRun.Transfer;
    C.DeviceID = FDisplay.vUnitID;
    C.Before = FRun.ReceiverBefore;
    C.Shown = FDisplay.vGPSNeeded;
    // A chosen file's name need not be the version text inside it; the
    // archive's images (the automatic choice, a recovery) are named by theirs.
    if (C.Source != TSource::Custom)
        C.Expected = FDisplay.vGPSNeeded;
    FConfirm.Start(C);
    FRun.Transferred = Certain;
    FRun.Required = C.Expected;
    TransferEnded();
    FDisplay.Confirming = true;
}

void TUpdateSession::StopConfirmation(bool Keep)
{
    if (Keep)
        FConfirm.Suspend();
    FConfirm.Stop();
    FDisplay.Confirming = false;
}

bool TUpdateSession::ResumeConfirmation(const std::string& DeviceID)
{
    const bool Unit = FDisplay.DeviceType == dtVeltrac;
    if (!FConfirm.Resume(DeviceID, Unit))
        return false;
    // The same device, which may still be programming: nothing is sent to
    // it but the questions that follow its programming to the end.
    const TConfirmationStart& C = FConfirm.What();
    FRun.Resumed(C, FConfirm.ProgramEnded());
    FDisplay.Confirming = true;
    FDisplay.vGPSNeeded = C.Shown;
    if (Unit) {
        SetState(TUpdateState::Busy);
        FUnitTransfer.Stop();
        CX.SetLoggerReports(true);
        FUnitTransfer.RequestVersion();
    } else {
        SetState(TUpdateState::Idle);
    }
    Trace("# the device may still be programming: following it to the end");
    return true;
}

void TUpdateSession::ProgrammingQuiet()
{
    FRun.ProgrammingEnded(true);
    ProgrammingEnded();
}

void TUpdateSession::ProgrammingEnded()
{
    FRun.ProgrammingEnded();
    // Ask now rather than at the next poll.
    if (FDisplay.DeviceType == dtVeltrac && FUpdateState == TUpdateState::Busy &&
        !FUnitTransfer.ProgramStartPending() && CX.Connected())
        FUnitTransfer.RequestVersion();
}

void TUpdateSession::ReceiverReported(const std::string& Version)
{
    FReported = Version;
    if (FConfirm.Active())
        ConfirmVersion(Version);
    else
        CheckGPSVersion(Version);
}

// A version read while confirming is compared only: it never chooses an
// image or starts a transfer.
void TUpdateSession::ConfirmVersion(const std::string& Version)
{
    FDisplay.vGPSCurrent = Version;
    FDisplay.vGPSNeeded = FConfirm.What().Shown;
    const TConfirmation::TVerdict Verdict = FConfirm.Judge(Version);
    // An answer that changed while watched is evidence too; the first evidence counts.
    if (FConfirm.ProgramEnded())
        FRun.ProgrammingEnded();
    if (Verdict != TConfirmation::TVerdict::Undecided)
        FRun.ConfirmationDecided(true);
    switch (Verdict) {
    case TConfirmation::TVerdict::Undecided:
        return;
    case TConfirmation::TVerdict::Confirmed:
        Confirmed(Version);
        return;
    case TConfirmation::TVerdict::WrongVersion:
        StopConfirmation();
        SetState(TUpdateState::Finished);
        EndRun(TOutcomeKind::Failed, "after programming the receiver reports " + Quoted(Version) +
                                         ", not the required " + Quoted(FConfirm.What().Expected));
        return;
    }
}

void TUpdateSession::Confirmed(const std::string& Version)
{
    StopConfirmation();
    FRun.Transferred = true;
    SetState(TUpdateState::Finished);
    if (FDisplay.DeviceType == dtVeltrac)
        StartEnding(TEnding::TurnOff);
    EndRun(TOutcomeKind::Updated, "the receiver was updated to " + Quoted(Version));
}

void TUpdateSession::ConfirmationExpired()
{
    const TConfirmation::TExpiry E = FConfirm.Expire(FUpdateState == TUpdateState::Idle);
    FRun.ConfirmationDecided(false);
    FDisplay.Confirming = false;
    if (E.What == TConfirmation::TExpiry::TWhat::DecideAgain) {
        CheckGPSVersion(E.Version);
        return;
    }
    SetState(TUpdateState::Finished);
    EndRun(E.What == TConfirmation::TExpiry::TWhat::Failed ? TOutcomeKind::Failed : TOutcomeKind::NotConfirmed,
           E.Message);
}
