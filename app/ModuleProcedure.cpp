#include "app/ModuleProcedure.h"

#include "app/ReceiverDecision.h"
#include "serial/ComPort.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

template <typename... A> auto TModuleProcedure::Event(void (TModuleProcedure::*Method)(A...))
{
    return [this, Method](TModuleLink*, A... Args) { FEvents.Step([&] { (this->*Method)(Args...); }); };
}

TModuleProcedure::TModuleProcedure(TProcedureEvents& Events)
    : TTransferToEvents(Events), cCom1(MX.Port()), FTransfer(MX, *this)
{
    MX.SetBlockFeed(&FModuleUpdate);
    MX.OnFrame = [this](TModuleLink*, bool Outgoing, const std::string& Bytes) {
        FEvents.ModuleFrame(Outgoing, Bytes);
    };
    MX.OnIdentity = Event(&TModuleProcedure::Identity);
    MX.OnReceiverVersion = [this](TModuleLink*, const std::string& Version) {
        FEvents.Step([&] { FEvents.ReceiverReported(Version); });
    };
    MX.OnReceiverReady = [this](TModuleLink*) { FEvents.Step([&] { FTransfer.ReceiverReady(); }); };
    MX.OnStatus = Event(&TModuleProcedure::Status);
    MX.OnDot = [this](TModuleLink*) { FEvents.Step([&] { FTransfer.Dot(); }); };
    MX.OnControllerStarted = [this](TModuleLink*) {
        FEvents.Step([&] {
            FEvents.ChangeState(TUpdateState::ModuleFirmware);
            // A module that asks for controller firmware by itself, before it
            // said who it is, has no controller version to report.
            FEvents.EnsureRun();
            if (FEvents.Shown().vVersion.empty())
                FEvents.Run().FirmwareBeforeUnknown = true;
            FEvents.Run().FirmwareStarting();
        });
    };
    MX.OnControllerProgress = Event(&TModuleProcedure::ControllerProgress);
    MX.OnControllerBlock = [this](TModuleLink*, int32_t Block) {
        FEvents.Step([&] { FEvents.Run().FirmwareBlockServed(Block); });
    };
    cCom1.OnDataRecived = [this](TComPort*, int32_t) { FEvents.Step([&] { MX.DataReceived(); }); };
    cCom1.OnPortOpen = [this](TComPort*) { FEvents.Step([&] { PortOpened(); }); };
    // An unplugged module: the port reports the hang-up itself, at once.
    cCom1.OnHangUp = [this](TComPort*, const std::string&) {
        FEvents.Step([&] { FEvents.PortHungUp(*this); });
    };
    cCom1.OnLatencySetup = [this](TComPort* Port, const TLatencySetup& Setup) {
        const std::string Name =
            Port->DevicePath().empty() ? "COM " + std::to_string(Port->ComNumber()) : Port->DevicePath();
        FEvents.Trace("# " + Name + ": " + Setup.Text());
    };

    TimerE3.setInterval(RetryMs);
    connect(&TimerE3, &QTimer::timeout, this, [this] {
        FEvents.Step([&] {
            // The module left the last identify unanswered: it is asked again.
            if (FEvents.Shown().vVersion.empty())
                FEvents.Run().Repeated(TRunRecord::TRepeat::WakeUp);
            TimerE3Timer();
        });
    });
}

TModuleProcedure::~TModuleProcedure()
{
    TimerE3.stop();
    cCom1.Close();
    SetLamps(nullptr, nullptr, nullptr);
    FTransfer.Stop();
}

void TModuleProcedure::UseControllerFirmware(const TSoftwareVersionCollection& Versions)
{
    FModuleUpdate.Clear();
    FModuleUpdate.Select(Versions, "*");
}

bool TModuleProcedure::OwnsException(const void* Owner) const
{
    return Owner && (Owner == &MX || Owner == &MX.Port());
}

// ---------------------------------------------------------------- the port

void TModuleProcedure::SetDevicePath(const std::string& Path)
{
    cCom1.SetDevicePath(Path);
}

void TModuleProcedure::SetLamps(TCX_Lamp* Tx, TCX_Lamp* Rx, TCX_Lamp* /*GPSData*/)
{
    MX.SetLamps(Tx, Rx);
}

void TModuleProcedure::Open(int ComNumber, bool /*MayBeProgramming*/)
{
    // After an unplug the port is still active on a dead descriptor; the
    // module is opened afresh.
    if (cCom1.HungUp())
        cCom1.Close();
    cCom1.SetComNumber(static_cast<uint16_t>(ComNumber));
    // Queued behind whatever is still being written (the last acknowledgement
    // of a transfer goes out at the rate the module listens at).
    cCom1.SetBaudRate(br9600);
    if (cCom1.Active())
        PortOpened();
    else
        cCom1.Open();
}

void TModuleProcedure::Close()
{
    cCom1.Close();
    TimerE3.stop();
}

void TModuleProcedure::DropPort()
{
    cCom1.Close();
}

std::string TModuleProcedure::DevicePath() const
{
    return cCom1.DevicePath();
}

uint32_t TModuleProcedure::LineRate() const
{
    return cCom1.LineRate();
}

void TModuleProcedure::Received(const std::string& Bytes)
{
    FEvents.Step([&] { MX.Received(Bytes); });
}

// ---------------------------------------------------------------- the session's requests

void TModuleProcedure::Reset()
{
    FTransfer.Stop();
}

void TModuleProcedure::StateEntered(TUpdateState State)
{
    // What the module's bytes are in this state, besides frames.
    switch (State) {
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

std::string TModuleProcedure::CannotSend() const
{
    return cCom1.Active() ? std::string() : SessionText::NoModuleConnection;
}

std::string TModuleProcedure::ImageProblem(const std::string& Image, const std::string& Name) const
{
    return ReceiverDecision::ImageProblem(true, Image, Name);
}

bool TModuleProcedure::SendImage(const std::string& Image, const std::string& Name)
{
    switch (FTransfer.Start(Image)) {
    case TMediaTekCheck::TooShort:
        FEvents.ShowError(SessionText::ImageTooShort);
        FEvents.Failed(TOutcomeKind::BadImage, ReceiverDecision::ImageProblem(true, Image, Name));
        return false;
    case TMediaTekCheck::NotMediaTek:
        // Not sent, silently, as the window does; the run still says why.
        FEvents.Failed(TOutcomeKind::BadImage, Name + " is not a MediaTek receiver image; nothing was sent");
        return false;
    case TMediaTekCheck::Ok:
        break;
    }
    return true;
}

const TProgressBarState* TModuleProcedure::CountingBar(TUpdateState State, const TUpdateDisplay& Shown) const
{
    return State == TUpdateState::Busy ? &Shown.pUpdateProgress : nullptr;
}

void TModuleProcedure::Follow()
{
    FEvents.ChangeState(TUpdateState::Idle);
}

// As a unit is switched off when it is updated or up to date, a module is
// let go of; after other ends the technician may still send a custom image
// or a recovery.
void TModuleProcedure::RunEnded(const TUpdateOutcome& Outcome)
{
    if (Outcome.Kind != TOutcomeKind::Updated && Outcome.Kind != TOutcomeKind::UpToDate)
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            FEvents.Step([&] {
                if (FEvents.RunActive() || FEvents.Confirming())
                    return;
                TimerE3.stop();
                cCom1.Close();
            });
        },
        Qt::QueuedConnection);
}

// An image the technician chose is not sent again; the archive's is, from identification.
void TModuleProcedure::BlockRefused()
{
    const TImageSource Sent = FEvents.Run().Transfer;
    if (Sent == TImageSource::Custom || Sent == TImageSource::Recovery)
        FEvents.Failed(TOutcomeKind::Failed,
                       "the module refused the image (status 02); the receiver was not programmed");
    FEvents.StartAgain();
}

bool TModuleProcedure::TurnOff()
{
    // The port stays open and TimerE3 identifies the module again, which it
    // only hears at 9600 baud (a transfer may have left 57600).
    if (cCom1.Active())
        cCom1.SetBaudRate(br9600);
    return true;
}

// ---------------------------------------------------------------- what the transfer shows

// ---------------------------------------------------------------- module events

void TModuleProcedure::SendModuleIdentify()
{
    MX.SendModuleIdentify();
}

void TModuleProcedure::SendToGPS(const std::string& Text)
{
    TimerE3.stop();
    TimerE3.start();
    MX.SendToGPS(Text);
}

void TModuleProcedure::PortOpened()
{
    MX.Restart();
    TimerE3.start();
    TimerE3Timer();
}

void TModuleProcedure::TimerE3Timer()
{
    const TUpdateDisplay& D = FEvents.Shown();
    if (D.vVersion.empty())
        SendModuleIdentify();
    else if (D.vGPSCurrent.empty())
        SendToGPS("Q");
    else if (FEvents.Confirming() && D.UpdateState == TUpdateState::Idle)
        SendToGPS("Q"); // until the programmed receiver reports its new version
}

void TModuleProcedure::ControllerProgress(bool Active, double Percent)
{
    TProgressBarState& Bar = FEvents.Shown().pUpdateProgress;
    if (Active) {
        Bar.Set(static_cast<int>(Percent), 100);
        FEvents.Shown().vProgress = std::to_string(Bar.Percent()) + "%";
    } else if (Bar.Position > 50) {
        // The controller finished and runs its new firmware: start again; its
        // identification says whether it took it.
        FControllerSent = true;
        FEvents.StartAgain();
    }
}

void TModuleProcedure::Status(TModuleStatus Status)
{
    if (FEvents.Confirming()) {
        // The module took the whole image: its statuses now only show it
        // is busy. A status 02 (programming ended, or failed) is followed
        // from identification; the version it then reports decides.
        FEvents.Progress();
        if (Status == TModuleStatus::Refused) {
            FEvents.ModuleProgrammed();
            FEvents.StartAgain();
        }
        return;
    }
    FTransfer.Status(Status);
}

void TModuleProcedure::Identity(const TModuleIdentity& Identity)
{
    TUpdateDisplay& D = FEvents.Shown();
    D.vUnitID = Identity.UnitID;
    D.vVersion = FixedText(Identity.Version, 2);
    D.vClass = Identity.Class;
    FEvents.Identified();
    if (FControllerSent) {
        // The controller restarted on what it pulled: it must now run the version the tool carries.
        FControllerSent = false;
        const std::string Carried = FixedText(FModuleUpdate.Version / 100.0, 2);
        if (D.vVersion != Carried) {
            TimerE3.stop();
            FEvents.ChangeState(TUpdateState::Finished);
            FEvents.Failed(TOutcomeKind::Failed, "the controller reports " + D.vVersion +
                                                     " after its update; the tool carries " + Carried);
            return;
        }
        FEvents.Run().FirmwareWritten = true;
    }
    if (FEvents.FollowKept()) {
        TimerE3Timer();
        return;
    }
    FEvents.ModuleIdentifiedAgain();
    if (Identity.Version >= 2.0) {
        // A recovery is for a receiver that cannot report: it goes right after identification.
        if (!FEvents.RecoveryNow())
            TimerE3Timer();
    } else {
        TimerE3.stop();
        FEvents.ChangeState(TUpdateState::ModuleFirmware);
        FEvents.Shown().vGPSCurrent = SessionText::UpdatingModule;
        MX.SendStartControllerUpdate();
        FEvents.Run().FirmwareStarting();
    }
}
