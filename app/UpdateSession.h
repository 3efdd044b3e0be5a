#pragma once
// The update session conducts; the device procedures (TUnitProcedure,
// TModuleProcedure) act. It keeps the runs, the plan, the confirmation's
// verdicts, the run record, the outcome and what the window shows (Display()).
// A front end renders the display on DisplayChanged, maps its handlers onto the
// verbs (Open, Close, TurnOff, SendImage, Recover) and answers OnChooseFirmwareFile
// and OnShowError. Everything runs on the Qt main thread.
#include "app/Confirmation.h"
#include "app/DeviceProcedure.h"
#include "app/FirmwareStore.h"
#include "app/ImageChoice.h"
#include "app/ModuleProcedure.h"
#include "app/ReceiverDecision.h"
#include "app/RunRecord.h"
#include "app/SessionLog.h"
#include "app/SessionView.h"
#include "app/UnitProcedure.h"
#include "app/UpdateDisplay.h"
#include "app/UpdateOutcome.h"

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TUpdateSession : public QObject, private TProcedureEvents
{
    Q_OBJECT

  public:
    // Arguments: the program's (without its name); "/MANUAL" switches the automatic update off.
    explicit TUpdateSession(const TFirmwareStore& Store, const std::vector<std::string>& Arguments = {},
                            QObject* Parent = nullptr);
    ~TUpdateSession() override;

    const TUpdateDisplay& Display() const { return FDisplay; }

    // Asked of the front end: the file to send (*.bin; empty = cancelled), an error box with one OK button.
    std::function<std::string(TUpdateSession* Sender)> OnChooseFirmwareFile;
    std::function<void(TUpdateSession* Sender, const std::string& Message)> OnShowError;
    TSessionLog Log{this}; // what the session tells logs (frames, notes)
    TNextStep NextStep = TNextStep::PressOpen; // what its messages tell the user to do to go on

    // How long a device may give no sign of progress while its new version is awaited (default 120 s).
    void SetConfirmTimeout(int Milliseconds) { FConfirm.SetTimeout(Milliseconds); }
    int ConfirmTimeout() const { return FConfirm.Timeout(); }
    // A unit that reported logger status and then none for this long has ended its programming (default
    // 5 s); one is listened to this long for a logger status before anything that changes it (default 3 s).
    void SetProgramQuietTime(int Milliseconds) { FConfirm.SetQuietTime(Milliseconds); }
    void SetListenTime(int Milliseconds) { FUnit->SetListenTime(Milliseconds); }

    // Requests given before Open, made when the technician's double-click would be: a custom image once
    // the version is read in manual mode or the receiver cannot report; a recovery once a module or an
    // unreadable unit receiver is identified.
    void PlanCustomImage(const std::string& FileName) { FPlan = {TImageSource::Custom, FileName, false}; }
    void PlanRecovery() { FPlan = {TImageSource::Recovery, {}, false}; }

    void Open();
    void Close() { Interrupt("the connection was closed", true); }
    void TurnOff() { Interrupt("the device was switched off", false); }
    // Asks the front end for a file and sends it.
    void SendImage();
    void LoadCustomFirmware(const std::string& FileName);
    void Recover();
    // A run that cannot begin (its front end refused what it was given) ends at once.
    void RefuseRun(TOutcomeKind Kind, const std::string& Message);
    // Ends the link so that the next run finds the device as it was; a run not
    // ended yet ends with Kind and Message; Done runs once the port is closed.
    void EndConnection(TOutcomeKind Kind, const std::string& Message, std::function<void()> Done);

    // Refused (False) while the device type is locked.
    bool SetDeviceType(int Value);
    void SetComNumber(int Value);
    // A device path for the port instead of the one the port number maps to.
    void SetDevicePath(const std::string& Path);
    // The lamps flashed for transmission, reception and GPS reports; not owned, may be null.
    void SetLamps(TCX_Lamp* Tx, TCX_Lamp* Rx, TCX_Lamp* GPSData);

    // ---- State, read-only ----
    // The receiver may be programming: interrupting now may leave it unusable.
    bool ReceiverAtRisk() const { return FConfirm.Active(); }
    // The device whose confirmation the next Open follows to its end if it answers (empty: none).
    std::string KeptConfirmation() const { return FConfirm.SuspendedDevice(); }
    bool ReceiverCannotReport() const { return Proc().ReceiverCannotReport(); }
    const std::optional<TUpdateOutcome>& Outcome() const { return FOutcome; }
    TTransferProgress TransferProgress() const;
    TUpdateState UpdateState() const { return FUpdateState; }
    bool AutoUpdate() const { return FAutoUpdate; }
    bool OwnsException(const void* Owner) const;

    void LoadGPSFirmwareImage(const std::string& Resource); // another package than the store's (tests)
    // The package in use and the image held for sending (tests take images from it too).
    TImageChoice& Images() { return FImages; }
    const TImageChoice& Images() const { return FImages; }
    const std::string& ImageName() const { return FImages.Name(); }
    const std::optional<std::string>& Image() const { return FImages.Image(); }
    const std::string& ArchiveLabel() const { return FImages.Label(); }
    std::string PackageSha256() const { return FImages.PackageSha256(FStore); } // hex

    // The procedures, for front ends that report on the links (and for tests).
    const TUnitProcedure& UnitProcedure() const { return *FUnit; }
    TModuleProcedure& ModuleProcedure() { return *FModule; }
    const TModuleProcedure& ModuleProcedure() const { return *FModule; }

  signals:
    void DisplayChanged();
    // Once per run, when it ends.
    void Finished(const TUpdateOutcome& Outcome);

  private:
    // ---- TProcedureEvents ----
    void Step(const std::function<void()>& Body) override;
    TUpdateDisplay& Shown() override { return FDisplay; }
    void ChangeState(TUpdateState State) override;
    bool Confirming() const override { return FConfirm.Active(); }
    bool RunActive() const override { return FRun.Active; }
    void Identified() override;
    bool FollowKept() override;
    void LinkOpened() override { ResetDisplay(); }
    void StartAgain() override { OpenConnection(); }
    void ProgrammingFound() override;
    void ReceiverReported(const std::string& Version) override;
    void UnreadableReceiver() override;
    bool RecoveryNow() override;
    TRunRecord& Run() override { return FRun; }
    void EnsureRun() override;
    void TransferComplete(bool Certain) override;
    void ProgramAcknowledged() override { FConfirm.ProgramAcknowledged(); }
    void LoggerStatus(int64_t Current, int64_t Total) override;
    void ModuleProgrammed() override;
    void ModuleIdentifiedAgain() override { FConfirm.ModuleIdentified(); }
    void Progress() override { FConfirm.Progress(); }
    void Failed(TOutcomeKind Kind, const std::string& Message) override { EndRun(Kind, Message); }
    void ShowError(const std::string& Message) override;
    void PortHungUp(TDeviceProcedure& Sender) override;
    void LinkEnded() override { FinishEnding(); }
    void UnitFrame(bool Out, uint8_t Cmd, const std::string& Data) override { Log.UnitFrame(Out, Cmd, Data); }
    void ModuleFrame(bool Out, const std::string& Bytes) override { Log.ModuleFrame(Out, Bytes); }
    void Trace(const std::string& Line) override { Log.Trace(Line); }

    // The procedure of the device type chosen.
    TDeviceProcedure& Proc() const;
    // Every entry into the session: exceptions go to the application's handler
    // (Catch) or to the front end that called; the display is told of once.
    template <typename F> void Entry(bool Catch, F&& Body);
    void UsePackage(std::shared_ptr<const TFirmwarePackage> Package);
    void ResetDisplay();
    // Opens the connection as Open does; the session's own restarts keep the run and a confirmation going.
    void OpenConnection();
    void FinishEnding();
    void ClosePorts(bool Gone = false); // Gone: the device's port went away
    std::string DevicePath() const;
    uint64_t SentNow() const { return FUnit->BytesSent() + FModule->BytesSent(); }

    // Fresh: a run that begins with Open knows nothing of the device yet.
    void BeginRun(bool Fresh);
    void EndRun(TOutcomeKind Kind, const std::string& Message);
    // The user ends the run (What: how); ClosePort, or the device is switched off.
    void Interrupt(const std::string& What, bool ClosePort);
    // The run ends in the finished state.
    void Finish(TOutcomeKind Kind, const std::string& Message);
    void StartTransfer(TImageSource Source);
    // A planned request goes when the technician's double-click would.
    void RunPlan(bool UnreadableReceiver);
    void RunPlanNow();
    // What the reported Version means (Followed: after a programming found under way).
    void DecideVersion(const std::string& Version, TImageSource Source, bool Followed = false);

    // The confirmation stops; one that ran is kept for the next Open on the same device.
    void StopConfirmation(bool Keep = false);
    void ConfirmVersion(const std::string& Version);
    // Programming ran and ended; AtLastSign: the unit went quiet after its last logger status.
    void ProgrammingEnded(bool AtLastSign = false);
    void ConfirmationExpired();
    // A request for another image while the receiver programs is refused with a box.
    bool RefuseWhileConfirming();
    // Whether an image can go now; else the user is told why.
    bool MaySend();

    const TFirmwareStore& FStore;
    TSessionView FView;
    TUpdateDisplay& FDisplay = FView.Display;
    std::unique_ptr<TUnitProcedure> FUnit;
    std::unique_ptr<TModuleProcedure> FModule;
    TConfirmation FConfirm;
    TUpdateState FUpdateState = TUpdateState::Idle;
    bool FAutoUpdate = true;
    TImageChoice FImages;
    TRunRecord FRun;
    std::optional<TUpdateOutcome> FOutcome;
    bool FNoPortChosen = false, FTypeChosen = false; // Open was pressed with no port; a type was chosen
    std::string FDevicePath;
    std::string FReported; // the last version text the receiver itself reported on this connection
    ReceiverDecision::TPlan FPlan;
    std::function<void()> FEndingDone; // what EndConnection does once the link has ended
};
