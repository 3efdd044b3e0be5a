#include "app/UpdateSession.h"

#include "app/SessionStatus.h"
#include "firmware/Keys.h"
#include "firmware/ReceiverImages.h"
#include "serial/AppException.h"
#include "serial/PortAdapter.h"
#include "serial/PortError.h"
#include "serial/PortMap.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

using SessionText::Quoted;

TUpdateSession::TUpdateSession(const TFirmwareStore& Store, const std::vector<std::string>& Arguments,
                               QObject* Parent)
    : QObject(Parent), FStore(Store),
      FUnit(std::make_unique<TUnitProcedure>(static_cast<TProcedureEvents&>(*this))),
      FModule(std::make_unique<TModuleProcedure>(static_cast<TProcedureEvents&>(*this)))
{
    FConfirm.OnExpired = [this] { Entry(true, [&] { ConfirmationExpired(); }); };
    FConfirm.OnQuiet = [this] { Entry(true, [&] { ProgrammingEnded(true); }); };
    FView.OnChanged = [this] { emit DisplayChanged(); };
    FView.Facts = [this] {
        // The device type is chosen again once nothing runs on the connection.
        FDisplay.DeviceTypeLocked = FRun.Active || FConfirm.Active() || Proc().EndingWatched();
        return TStatusFacts{.PortOpen = Proc().PortOpen(),
                            .Port = PortName(FDisplay.ComNumber, FDevicePath),
                            .NoPortChosen = FNoPortChosen,
                            .TypeChosen = FTypeChosen,
                            .RunActive = FRun.Active,
                            .Outcome = FOutcome ? &*FOutcome : nullptr};
    };
    FImages.OnNote = [this](const std::string& Note) { Log.Trace("# " + Note); };
    FDisplay.Caption = SessionText::Caption;
    Entry(false, [&] {
        FAutoUpdate = Arguments.empty() || UpperText(Arguments[0]) != "/MANUAL";
        FModule->UseControllerFirmware(FStore.ModuleFirmware());
        UsePackage(FStore.Package());
        ResetDisplay();
    });
    FView.UpdateStatus();
}

TUpdateSession::~TUpdateSession()
{
    FEndingDone = nullptr;
    // The procedures close their ports before the lamps they flash go away with the front end.
    FUnit.reset();
    FModule.reset();
}

TDeviceProcedure& TUpdateSession::Proc() const
{
    return FDisplay.DeviceType == dtExternalGPS ? static_cast<TDeviceProcedure&>(*FModule) : *FUnit;
}

bool TUpdateSession::OwnsException(const void* Owner) const
{
    return Owner && (Owner == this || FUnit->OwnsException(Owner) || FModule->OwnsException(Owner));
}

template <typename F> void TUpdateSession::Entry(bool Catch, F&& Body)
{
    const TExceptionOwner Owner(this);
    const TSessionView::TEntry Entered(FView);
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
        FTypeChosen = true;
    });
    return true;
}

void TUpdateSession::SetComNumber(int Value)
{
    Entry(false, [&] {
        // The port of a run that ended went away, or another was chosen: its device is not there.
        if (Value != FDisplay.ComNumber && !FRun.Active && !FConfirm.Active() && !Proc().PortOpen())
            ClosePorts(true);
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

std::string TUpdateSession::DevicePath() const
{
    const std::string Path = Proc().DevicePath();
    return Path.empty() ? ComPortDevicePath(FDisplay.ComNumber) : Path;
}

void TUpdateSession::ChangeState(TUpdateState State)
{
    FUpdateState = State;
    FDisplay.UpdateState = State;
    FUnit->StateEntered(State);
    FModule->StateEntered(State);
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
        FDisplay.Caption = SessionText::CaptionFor(FImages.Label(), FImages.UnitFirmware().Count() > 0);
    });
}

void TUpdateSession::ResetDisplay()
{
    ChangeState(TUpdateState::Idle);
    FDisplay.ForgetDevice();
    FUnit->Reset();
    FModule->Reset();
    // A confirmation outlives the session's own restarts.
    FDisplay.Confirming = FConfirm.Active();
}

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
        FPlan.Done = false;
        FTypeChosen = true;
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
    FView.DeviceOpened();
    Proc().Open(FDisplay.ComNumber, FConfirm.Suspended());
}

void TUpdateSession::Interrupt(const std::string& What, bool ClosePort)
{
    Entry(false, [&] {
        const bool Programming = FConfirm.Active();
        StopConfirmation(true);
        // A device that cannot hear "Off" (a unit still being woken) is let go as Close lets go of it.
        const bool Unheard = !ClosePort && !Proc().TurnOff();
        ClosePort || Unheard ? ClosePorts() : ResetDisplay();
        if (FRun.Active)
            EndRun(TOutcomeKind::Interrupted,
                   SessionText::Interrupted(Unheard ? SessionText::OffUnheard : What, Programming, NextStep));
        else if (ClosePort)
            FOutcome.reset(); // nothing ran: the status line asks for the next Open
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
    const std::function<void()> Done = std::exchange(FEndingDone, nullptr);
    ClosePorts();
    Done();
}

// Both ports closed and the window as after start-up. A run that did not end
// well keeps telling what to do about its device once that is gone.
void TUpdateSession::ClosePorts(bool Gone)
{
    ResetDisplay();
    FUnit->Close();
    FModule->Close();
    FView.DeviceHeard();
    if (Gone && FOutcome && OutcomeFinished(*FOutcome))
        FOutcome.reset();
}

void TUpdateSession::PortHungUp(TDeviceProcedure& Sender)
{
    // A port of the other device type, or a device unplugged after its run
    // ended (the natural next step): nothing to say.
    if (&Sender != &Proc()) {
        Sender.DropPort();
    } else if (!FRun.Active) {
        ClosePorts(true);
    } else {
        const std::string Message = SessionText::Disappeared(PortName(FDisplay.ComNumber, FDevicePath),
                                                             FDisplay.DeviceType == dtExternalGPS,
                                                             FConfirm.Active(), FUpdateState, NextStep);
        StopConfirmation(true);
        ClosePorts();
        EndRun(TOutcomeKind::PortError, Message);
    }
    FinishEnding();
}

void TUpdateSession::Identified()
{
    FView.DeviceHeard();
    FRun.Identified(FDisplay);
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
    Log.Trace("# the device may still be programming: following it to the end");
    return true;
}

void TUpdateSession::UnreadableReceiver()
{
    if (!FConfirm.Active())
        RunPlan(true);
}

bool TUpdateSession::RecoveryNow()
{
    if (FPlan.What != TImageSource::Recovery || !FPlan.Due(true) || FConfirm.Active() ||
        FUpdateState != TUpdateState::Idle)
        return false;
    RunPlan(true);
    return true;
}

// The unit programs with nothing of this run under way: it is followed to
// its end as a confirmation follows it, sent nothing but questions.
void TUpdateSession::ProgrammingFound()
{
    EnsureRun();
    const TConfirmationStart C{
        .DeviceID = FDisplay.vUnitID, .Before = {}, .Expected = {}, .Shown = {}, .Found = true};
    FConfirm.Start(C);
    FRun.Resumed(C, false);
    FDisplay.Confirming = true;
    Proc().Follow();
    Log.Trace("# the receiver is programming: following it to the end, sending nothing");
}

void TUpdateSession::ReceiverReported(const std::string& Version)
{
    FReported = Version;
    FConfirm.Active() ? ConfirmVersion(Version) : DecideVersion(Version, TImageSource::Automatic);
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

void TUpdateSession::DecideVersion(const std::string& Version, TImageSource Source, bool Followed)
{
    using TWhat = ReceiverDecision::TWhat;
    FDisplay.vGPSCurrent = Version;
    const ReceiverDecision::TAsk Ask{Version, Source, FAutoUpdate,
                                     FPlan.What == TImageSource::Custom && !FPlan.Done,
                                     FRun.Transfer != TImageSource::None && !FRun.Transferred};
    const ReceiverDecision::TDecision D =
        FImages.Take(Followed ? ReceiverDecision::AfterFollowing(Ask, FPlan.What, FImages.ReceiverImages())
                              : ReceiverDecision::Decide(Ask, FImages.ReceiverImages()));
    if (D.What == TWhat::UpToDate || D.What == TWhat::Send || D.What == TWhat::NotSupported)
        FDisplay.vGPSNeeded = D.Required.empty() ? SessionText::NotSupported : D.Required;
    if (D.What == TWhat::Send) {
        if (FUpdateState == TUpdateState::Idle)
            StartTransfer(Source);
        return;
    }
    if (D.What == TWhat::SendCustom) {
        ChangeState(TUpdateState::Finished);
        RunPlan(false);
        return;
    }
    if (D.What == TWhat::UpToDate)
        Proc().LetGo();
    Finish(D.Kind, D.Message);
}

void TUpdateSession::StartTransfer(TImageSource Source)
{
    ChangeState(TUpdateState::TransferStart);
    EnsureRun();
    FRun.TransferStarting(Source, FReported, SentNow());
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
            EnsureRun();
            EndRun(TOutcomeKind::BadImage, "cannot read the image " + FileName);
            return;
        }
        // The image stays loaded; the user chooses it again once connected.
        if (!MaySend())
            return;
        EnsureRun();
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
        if (!Proc().RecoveryPossible() || RefuseWhileConfirming() || !MaySend())
            return;
        EnsureRun();
        DecideVersion(RecoveryVersionText, TImageSource::Recovery);
        FDisplay.vGPSCurrent = SessionText::FirmwareRecovery;
    });
}

// A planned request goes when the technician's double-click would: from the
// event loop, after the step that showed what it waits for.
void TUpdateSession::RunPlan(bool UnreadableReceiver)
{
    if (!FPlan.Due(UnreadableReceiver) || FConfirm.Active())
        return;
    FPlan.Done = true;
    QMetaObject::invokeMethod(
        this, [this] { Entry(true, [&] { RunPlanNow(); }); }, Qt::QueuedConnection);
}

void TUpdateSession::RunPlanNow()
{
    if (FConfirm.Active() || Proc().Ending())
        return;
    if (FPlan.What == TImageSource::Custom) {
        LoadCustomFirmware(FPlan.File);
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

bool TUpdateSession::MaySend()
{
    const std::string Cannot = Proc().CannotSend();
    if (!Cannot.empty())
        ShowError(Cannot);
    return Cannot.empty();
}

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

void TUpdateSession::EnsureRun()
{
    if (!FRun.Active)
        BeginRun(false);
}

void TUpdateSession::Finish(TOutcomeKind Kind, const std::string& Message)
{
    ChangeState(TUpdateState::Finished);
    EndRun(Kind, Message);
}

TTransferProgress TUpdateSession::TransferProgress() const
{
    // The unit's records and the module's blocks cut the image evenly.
    return FRun.Progress(Image() ? &*Image() : nullptr, Proc().CountingBar(FUpdateState, FDisplay), SentNow(),
                         Proc().LineRate());
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

void TUpdateSession::TransferComplete(bool Certain)
{
    const TConfirmationStart C = FRun.ConfirmationStart(Certain, FDisplay);
    FConfirm.Start(C);
    FRun.Confirming(C, SentNow(), Proc().LineRate());
    FDisplay.Confirming = true;
}

void TUpdateSession::StopConfirmation(bool Keep)
{
    if (Keep)
        FConfirm.Suspend();
    FConfirm.Stop();
    FDisplay.Confirming = false;
}

void TUpdateSession::ProgrammingEnded(bool AtLastSign)
{
    FRun.ProgrammingEnded(AtLastSign);
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
    if (FConfirm.What().Found) {
        ChangeState(TUpdateState::Idle);
        DecideVersion(Version, TImageSource::Automatic, true);
        return;
    }
    ChangeState(TUpdateState::Finished);
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
    Finish(E.What == TConfirmation::TExpiry::TWhat::Failed ? TOutcomeKind::Failed
                                                           : TOutcomeKind::NotConfirmed,
           E.Message);
}
