#include "app/UpdateSession.h"

#include "app/ReceiverDecision.h"
#include "app/SessionStatus.h"
#include "firmware/Keys.h"
#include "firmware/MyCrypt.h"
#include "firmware/ReceiverImages.h"
#include "serial/AppException.h"
#include "serial/PortAdapter.h"
#include "serial/PortError.h"
#include "serial/PortMap.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

#include <cstdio>

namespace
{
// The status line says a freshly opened device is silent after 10 s, then every 30 s.
constexpr int FirstSilenceMs = 10000;
constexpr int SilenceStepMs = 30000;
} // namespace

using SessionText::Quoted;

TUpdateSession::TUpdateSession(const TFirmwareStore& Store, const std::vector<std::string>& Arguments,
                               QObject* Parent)
    : QObject(Parent), FStore(Store), FUnit(std::make_unique<TUnitProcedure>(Events())),
      FModule(std::make_unique<TModuleProcedure>(Events()))
{
    FConfirm.OnExpired = [this] { Entry(true, [&] { ConfirmationExpired(); }); };
    FConfirm.OnQuiet = [this] {
        Entry(true, [&] {
            FRun.ProgrammingEnded(true);
            ProgrammingEnded();
        });
    };
    connect(&tSilence, &QTimer::timeout, this, [this] {
        Entry(true, [&] {
            FSilentSeconds += tSilence.interval() / 1000;
            const int Said = FSilentSeconds * 1000;
            tSilence.setInterval(Said < SilenceStepMs ? SilenceStepMs - Said : SilenceStepMs);
        });
    });
    FImages.OnNote = [this](const std::string& Note) { Trace("# " + Note); };
    FDisplay.Caption = SessionText::Caption;
    Entry(false, [&] {
        FAutoUpdate = Arguments.empty() || UpperText(Arguments[0]) != "/MANUAL";
        FModule->UseControllerFirmware(FStore.ModuleFirmware());
        UsePackage(FStore.Package());
        ResetDisplay();
    });
    UpdateStatus();
}

TUpdateSession::~TUpdateSession()
{
    FConfirm.Stop();
    FEndingDone = nullptr;
    // The procedures close their ports before the lamps they flash go away with the front end.
    FUnit.reset();
    FModule.reset();
}

TDeviceProcedure& TUpdateSession::Proc() const
{
    if (FDisplay.DeviceType == dtExternalGPS)
        return *FModule;
    return *FUnit;
}

bool TUpdateSession::OwnsException(const void* Owner) const
{
    return Owner && (Owner == this || FUnit->OwnsException(Owner) || FModule->OwnsException(Owner));
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
        // A port that cannot be opened or fails ends the run; the message
        // still reaches the user the way it did.
        if (IsPortError(E))
            EndRun(TOutcomeKind::PortError, E.what());
        ApplicationHandleCurrentException();
    } catch (...) {
        ApplicationHandleCurrentException();
    }
}

void TUpdateSession::Step(const std::function<void()>& Body)
{
    Entry(true, Body);
}

// ---------------------------------------------------------------- front end

bool TUpdateSession::SetDeviceType(int Value)
{
    if (FDisplay.DeviceTypeLocked || (Value != dtVeltrac && Value != dtExternalGPS))
        return false;
    Entry(false, [&] {
        // A run that ended may have left a unit's link open (manual mode, a
        // failure); the other device type would find its port in use.
        if (Value != FDisplay.DeviceType && (FUnit->PortOpen() || FModule->PortOpen()))
            ClosePorts();
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
    FUnit->SetDevicePath(Path);
    FModule->SetDevicePath(Path);
}

void TUpdateSession::SetLamps(TCX_Lamp* Tx, TCX_Lamp* Rx, TCX_Lamp* GPSData)
{
    FUnit->SetLamps(Tx, Rx, GPSData);
    FModule->SetLamps(Tx, Rx, GPSData);
}

std::string TUpdateSession::PortText() const
{
    const std::string Com = "COM " + std::to_string(FDisplay.ComNumber);
    if (FDevicePath.empty())
        return Com;
    const std::string Mapped = ComPortDevicePath(FDisplay.ComNumber);
    return !Mapped.empty() && SameDevice(Mapped, FDevicePath) ? Com : FDevicePath;
}

std::string TUpdateSession::DevicePath() const
{
    const std::string Path = Proc().DevicePath();
    return Path.empty() ? ComPortDevicePath(FDisplay.ComNumber) : Path;
}

void TUpdateSession::PlanCustomImage(const std::string& FileName)
{
    FPlan = TImageSource::Custom;
    FPlanFile = FileName;
    FPlanDone = false;
}

void TUpdateSession::PlanRecovery()
{
    FPlan = TImageSource::Recovery;
    FPlanFile.clear();
    FPlanDone = false;
}

void TUpdateSession::SetState(TUpdateState Value)
{
    FUpdateState = Value;
    FDisplay.UpdateState = Value;
    FUnit->StateEntered(Value);
    FModule->StateEntered(Value);
}

void TUpdateSession::ChangeState(TUpdateState State)
{
    SetState(State);
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

void TUpdateSession::UnitFrame(bool Outgoing, uint8_t Cmd, const std::string& Data)
{
    if (OnUnitFrame)
        OnUnitFrame(this, Outgoing, Cmd, Data);
    if (OnTrace) {
        char Head[32];
        std::snprintf(Head, sizeof Head, "%s unit %02X", Outgoing ? "TX" : "RX", Cmd);
        Trace(std::string(Head) + (Data.empty() ? "" : " " + Data));
    }
}

void TUpdateSession::ModuleFrame(bool Outgoing, const std::string& Bytes)
{
    if (OnModuleFrame)
        OnModuleFrame(this, Outgoing, Bytes);
    if (OnTrace)
        Trace(std::string(Outgoing ? "TX" : "RX") + " module " + BytesToHex(Bytes, true));
}

void TUpdateSession::ShowError(const std::string& Message)
{
    if (OnShowError)
        OnShowError(this, Message);
}

void TUpdateSession::LoadGPSFirmwareImage(const std::string& Resource)
{
    UsePackage(std::make_shared<const TFirmwarePackage>(Resource, ImageKey()));
}

void TUpdateSession::UsePackage(std::shared_ptr<const TFirmwarePackage> Package)
{
    Entry(false, [&] {
        FImages.UsePackage(std::move(Package));
        FUnit->SetUnitFirmware(&FImages.UnitFirmware());
        FDisplay.Caption = SessionText::CaptionFor(FImages.Label(), UnitFirmware().Count() > 0);
    });
}

std::string TUpdateSession::PackageSha256() const
{
    return FImages.Package() == FStore.Package() ? FStore.PackageSha256() : Sha256Hex(Archive());
}

void TUpdateSession::ResetDisplay()
{
    SetState(TUpdateState::Idle);
    FDisplay.ForgetDevice();
    FUnit->Reset();
    FModule->Reset();
    // A confirmation outlives the session's own restarts.
    FDisplay.Confirming = FConfirm.Active();
}

// ---------------------------------------------------------------- connection

void TUpdateSession::Open()
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
        FEndingDone = nullptr;
        FReported.clear();
        FPlanDone = false;
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
    if (FDisplay.ComNumber == 0)
        return;
    FRun.IdentifyStarting();
    FNoPortChosen = false;
    ResetDisplay();
    FSilentSeconds = 0;
    tSilence.start(FirstSilenceMs);
    Proc().Open(FDisplay.ComNumber, FConfirm.Suspended());
}

void TUpdateSession::Close()
{
    Entry(false, [&] {
        const bool Programming = FConfirm.Active();
        StopConfirmation(true);
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

void TUpdateSession::TurnOff()
{
    Entry(false, [&] {
        const bool Programming = FConfirm.Active();
        StopConfirmation(true);
        ResetDisplay();
        EndRun(TOutcomeKind::Interrupted,
               Programming
                   ? SessionText::HalfProgrammed + " (the device was switched off while it programmed)"
                   : std::string("the device was switched off"));
        Proc().TurnOff();
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
        if (Proc().EndLink())
            FinishEnding();
    });
}

void TUpdateSession::FinishEnding()
{
    // Without a Done the session stays still until the user presses Open or Close.
    if (!FEndingDone)
        return;
    const std::function<void()> Done = std::move(FEndingDone);
    FEndingDone = nullptr;
    ClosePorts();
    Done();
}

// Both ports closed and the window as after start-up.
void TUpdateSession::ClosePorts()
{
    ResetDisplay();
    FUnit->Close();
    FModule->Close();
    tSilence.stop();
}

void TUpdateSession::PortHungUp(TDeviceProcedure& Sender)
{
    const bool InUse = &Sender == &Proc();
    if (!InUse || !FRun.Active) {
        // A port of the other device type, or a device unplugged after its
        // run ended (the natural next step): nothing to say.
        if (InUse)
            ClosePorts();
        else
            Sender.DropPort();
        FinishEnding();
        return;
    }
    const std::string Message = SessionText::Disappeared(PortText(), FDisplay.DeviceType == dtExternalGPS,
                                                         FConfirm.Active(), FUpdateState);
    StopConfirmation(true);
    ClosePorts();
    EndRun(TOutcomeKind::PortError, Message);
    FinishEnding();
}

// ---------------------------------------------------------------- what the device tells

void TUpdateSession::Identified()
{
    tSilence.stop();
    FSilentSeconds = 0;
    FRun.Identified(FDisplay.vUnitID, FDisplay.vVersion);
    FRun.Model = FDisplay.vClass;
    FRun.Hardware = FDisplay.vVersionInfo;
    FRun.HardwareRevision = FDisplay.vHWVer;
}

// The same device is back: the confirmation goes on where it was.
bool TUpdateSession::FollowKept()
{
    if (!FConfirm.Resume(FDisplay.vUnitID, FDisplay.DeviceType == dtVeltrac))
        return false;
    const TConfirmationStart& C = FConfirm.What();
    FRun.Resumed(C, FConfirm.ProgramEnded());
    FDisplay.Confirming = true;
    FDisplay.vGPSNeeded = C.Shown;
    Proc().Follow();
    Trace("# the device may still be programming: following it to the end");
    return true;
}

void TUpdateSession::UnreadableReceiver()
{
    if (!FConfirm.Active())
        RunPlan(true);
}

bool TUpdateSession::RecoveryNow()
{
    if (FPlan != TImageSource::Recovery || FPlanDone || FConfirm.Active() ||
        FUpdateState != TUpdateState::Idle)
        return false;
    RunPlan(true);
    return true;
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

void TUpdateSession::ReceiverReported(const std::string& Version)
{
    FReported = Version;
    if (FConfirm.Active())
        ConfirmVersion(Version);
    else
        DecideVersion(Version, TImageSource::Automatic);
}

void TUpdateSession::LoggerStatus(int64_t Current, int64_t Total)
{
    FRun.ProgrammingSign();
    if (FConfirm.LoggerStatus(Current, Total))
        ProgrammingEnded();
}

void TUpdateSession::ModuleProgrammed()
{
    FConfirm.ModuleStatus02();
    FRun.ProgrammingEnded();
}

// An image the technician chose is not sent again; the archive's is, from identification.
void TUpdateSession::ImageRefused()
{
    if (FRun.Transfer == TImageSource::Custom || FRun.Transfer == TImageSource::Recovery)
        EndRun(TOutcomeKind::Failed,
               "the module refused the image (status 02); the receiver was not programmed");
    OpenConnection();
}

// ---------------------------------------------------------------- the image to send

bool TUpdateSession::FindRequiredImage(const std::string& Version)
{
    const std::string Name = ReceiverDecision::RequiredImage(ArchiveImages(), Version);
    const bool Held = !Name.empty() && FImages.LoadArchiveImage(Name);
    FDisplay.vGPSNeeded =
        Held ? Name.substr(0, Name.size() >= 4 ? Name.size() - 4 : 0) : SessionText::NotSupported;
    return Held;
}

void TUpdateSession::DecideVersion(const std::string& Version, TImageSource Source)
{
    FDisplay.vGPSCurrent = Version;
    ReceiverDecision::TAsk Ask;
    Ask.Version = Version;
    Ask.Source = Source;
    Ask.AutoUpdate = FAutoUpdate;
    Ask.CustomPlanned = FPlan == TImageSource::Custom && !FPlanDone;
    Ask.TransferIncomplete = FRun.Transfer != TImageSource::None && !FRun.Transferred;
    ReceiverDecision::TDecision D = ReceiverDecision::Decide(Ask, ArchiveImages());
    if (D.What == ReceiverDecision::TWhat::UpToDate || D.What == ReceiverDecision::TWhat::Send) {
        if (!FImages.LoadArchiveImage(D.Image))
            D = ReceiverDecision::NoImageFor(Version);
        FDisplay.vGPSNeeded = D.Required.empty() ? SessionText::NotSupported : D.Required;
    } else if (D.What == ReceiverDecision::TWhat::NotSupported) {
        FDisplay.vGPSNeeded = SessionText::NotSupported;
    }
    switch (D.What) {
    case ReceiverDecision::TWhat::Send:
        if (FUpdateState == TUpdateState::Idle)
            StartTransfer(Source);
        return;
    case ReceiverDecision::TWhat::SendCustom:
        SetState(TUpdateState::Finished);
        RunPlan(false);
        return;
    case ReceiverDecision::TWhat::UpToDate:
        Proc().LetGo();
        break;
    default:
        break;
    }
    SetState(TUpdateState::Finished);
    EndRun(D.Kind, D.Message);
}

void TUpdateSession::StartTransfer(TImageSource Source)
{
    SetState(TUpdateState::TransferStart);
    TransferStarting(Source);
    if (!Image()) {
        Proc().StopTransfer();
        ShowError(SessionText::NoImage);
        return;
    }
    Proc().SendImage(*Image(), ImageName());
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
        const std::string Cannot = Proc().CannotSend();
        if (!Cannot.empty()) {
            ShowError(Cannot);
            return;
        }
        if (!FRun.Active)
            BeginRun(false);
        const std::string Problem = Proc().ImageProblem(*Image(), FileName);
        if (!Problem.empty()) {
            ShowError(SessionText::ImageTooShort);
            EndRun(TOutcomeKind::BadImage, Problem);
            return;
        }
        if (FDisplay.vGPSCurrent.empty())
            FDisplay.vGPSCurrent = SessionText::ManualUpdate;
        FDisplay.vGPSNeeded = FileNameNoExt(FileName);
        StartTransfer(TImageSource::Custom);
    });
}

void TUpdateSession::SendImage()
{
    if (!OnChooseFirmwareFile)
        return;
    const std::string FileName = OnChooseFirmwareFile(this);
    if (!FileName.empty())
        LoadCustomFirmware(FileName);
}

void TUpdateSession::Recover()
{
    Entry(false, [&] {
        if (!Proc().RecoveryPossible() || RefuseWhileConfirming())
            return;
        const std::string Cannot = Proc().CannotSend();
        if (!Cannot.empty()) {
            ShowError(Cannot);
            return;
        }
        if (!FRun.Active)
            BeginRun(false);
        DecideVersion(RecoveryVersionText, TImageSource::Recovery);
        FDisplay.vGPSCurrent = SessionText::FirmwareRecovery;
    });
}

// A planned request goes when the technician's double-click would: from the
// event loop, after the step that showed what it waits for.
void TUpdateSession::RunPlan(bool UnreadableReceiver)
{
    if (FPlan == TImageSource::None || FPlanDone || FConfirm.Active())
        return;
    if (FPlan == TImageSource::Recovery && !UnreadableReceiver)
        return;
    FPlanDone = true;
    QMetaObject::invokeMethod(
        this, [this] { Entry(true, [&] { RunPlanNow(); }); }, Qt::QueuedConnection);
}

void TUpdateSession::RunPlanNow()
{
    if (FConfirm.Active() || Proc().Ending())
        return;
    if (FPlan == TImageSource::Custom) {
        LoadCustomFirmware(FPlanFile);
        return;
    }
    Recover();
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
    Proc().RunBegins();
}

void TUpdateSession::TransferStarting(TImageSource Source)
{
    if (!FRun.Active)
        BeginRun(false);
    FRun.TransferStarting(Source, FReported, SentNow());
}

TTransferProgress TUpdateSession::TransferProgress() const
{
    // The unit's records and the module's blocks cut the image evenly.
    return FRun.Progress(Image() ? &*Image() : nullptr, Proc().CountingBar(FUpdateState, FDisplay), SentNow(),
                         Proc().LineRate());
}

void TUpdateSession::UpdateStatus()
{
    // The device type is chosen again once nothing runs on the connection.
    FDisplay.DeviceTypeLocked = FRun.Active || FConfirm.Active() || Proc().EndingWatched();
    TStatusFacts F;
    F.PortOpen = Proc().PortOpen();
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
    TRunEnd At;
    At.ExternalGPS = FDisplay.DeviceType == dtExternalGPS;
    At.DeviceIDShown = FDisplay.vUnitID;
    At.ReceiverReported = FReported;
    At.RequiredShown = FDisplay.vGPSNeeded;
    At.Image = Image() ? &*Image() : nullptr;
    At.ImageName = ImageName();
    At.SentNow = SentNow();
    At.LineRate = Proc().LineRate();
    At.ComNumber = FDisplay.ComNumber;
    At.DevicePath = DevicePath();
    const TUpdateOutcome O = FRun.End(Kind, Message, At);
    FOutcome = O;
    Proc().RunEnded(O);
    emit Finished(O);
}

// ---------------------------------------------------------------- confirming a transfer

void TUpdateSession::TransferComplete(bool Certain)
{
    TConfirmationStart C;
    C.Certain = Certain;
    C.Source = FRun.Transfer == TImageSource::None ? TImageSource::Automatic : FRun.Transfer;
    C.DeviceID = FDisplay.vUnitID;
    C.Before = FRun.ReceiverBefore;
    C.Shown = FDisplay.vGPSNeeded;
    // A chosen file's name need not be the version text inside it; the
    // archive's images (the automatic choice, a recovery) are named by theirs.
    if (C.Source != TImageSource::Custom)
        C.Expected = FDisplay.vGPSNeeded;
    FConfirm.Start(C);
    FRun.Transferred = Certain;
    FRun.Required = C.Expected;
    // The last record or block went out: the transfer's pace is measured up to here.
    FRun.TransferDone(SentNow(), Proc().LineRate());
    FDisplay.Confirming = true;
}

void TUpdateSession::StopConfirmation(bool Keep)
{
    if (Keep)
        FConfirm.Suspend();
    FConfirm.Stop();
    FDisplay.Confirming = false;
}

void TUpdateSession::ProgrammingEnded()
{
    FRun.ProgrammingEnded();
    Proc().ProgrammingEnded();
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
    if (Verdict == TConfirmation::TVerdict::Undecided)
        return;
    FRun.ConfirmationDecided(true);
    StopConfirmation();
    SetState(TUpdateState::Finished);
    if (Verdict == TConfirmation::TVerdict::WrongVersion) {
        EndRun(TOutcomeKind::Failed, "after programming the receiver reports " + Quoted(Version) +
                                         ", not the required " + Quoted(FConfirm.What().Expected));
        return;
    }
    FRun.Transferred = true;
    Proc().LetGo();
    EndRun(TOutcomeKind::Updated, "the receiver was updated to " + Quoted(Version));
}

void TUpdateSession::ConfirmationExpired()
{
    const TConfirmation::TExpiry E = FConfirm.Expire(FUpdateState == TUpdateState::Idle);
    FRun.ConfirmationDecided(false);
    FDisplay.Confirming = false;
    if (E.What == TConfirmation::TExpiry::TWhat::DecideAgain) {
        DecideVersion(E.Version, TImageSource::Automatic);
        return;
    }
    SetState(TUpdateState::Finished);
    EndRun(E.What == TConfirmation::TExpiry::TWhat::Failed ? TOutcomeKind::Failed
                                                           : TOutcomeKind::NotConfirmed,
           E.Message);
}
