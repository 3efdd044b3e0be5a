#pragma once
// The update session conducts an update; the device procedures act. It owns
// one procedure per device type (TUnitProcedure, TModuleProcedure), keeps the
// runs, the plan, the confirmation's verdicts, the run record and the
// outcome, and keeps what the window shows as plain data (Display()). A front
// end renders that data when DisplayChanged is emitted, maps its own handlers
// onto the verbs (Open, Close, TurnOff, SendImage, Recover) and answers the
// two questions the session asks (OnChooseFirmwareFile, OnShowError).
// Everything runs on the Qt main thread.
#include "app/Confirmation.h"
#include "app/DeviceProcedure.h"
#include "app/FirmwareStore.h"
#include "app/ImageChoice.h"
#include "app/ModuleProcedure.h"
#include "app/RunRecord.h"
#include "app/UnitProcedure.h"
#include "app/UpdateDisplay.h"
#include "app/UpdateOutcome.h"

#include <QObject>
#include <QTimer>
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

    // ---- Asked of the front end ----
    // The firmware file to send ("Custom firmware update", *.bin); empty = cancelled.
    std::function<std::string(TUpdateSession* Sender)> OnChooseFirmwareFile;
    // An error message box with one OK button.
    std::function<void(TUpdateSession* Sender, const std::string& Message)> OnShowError;
    // ---- Told to the front end (an empty function is skipped) ----
    // Every unit frame sent (Outgoing) and every good one received: its command and payload as spaced hex.
    std::function<void(TUpdateSession* Sender, bool Outgoing, uint8_t Cmd, const std::string& Data)>
        OnUnitFrame;
    // Every module frame: Outgoing = the wire bytes written; incoming = the
    // content of each frame received, unescaped, checksum included (in state 5
    // the bytes of each reception, which are not framed).
    std::function<void(TUpdateSession* Sender, bool Outgoing, const std::string& Bytes)> OnModuleFrame;
    // The trace for logs: a line per frame ("TX unit 0B ...", "RX module 00 2C
    // ...") and lines beginning "# " for what else a maintainer wants to know.
    std::function<void(TUpdateSession* Sender, const std::string& Line)> OnTrace;
    // Sets OnTrace and hands it first the notes traced while there was none.
    void SetTrace(std::function<void(TUpdateSession* Sender, const std::string& Line)> Trace);

    // ---- Settings ----
    // How long the device may stay without a sign of progress while the
    // session waits for it to report the new version (default 120 s).
    void SetConfirmTimeout(int Milliseconds) { FConfirm.SetTimeout(Milliseconds); }
    int ConfirmTimeout() const { return FConfirm.Timeout(); }
    // A unit that reported logger status and then none for this long has ended its programming (default 5 s).
    void SetProgramQuietTime(int Milliseconds) { FConfirm.SetQuietTime(Milliseconds); }

    // ---- Requests decided by the session, given before Open ----
    // A custom image, sent once the receiver's version is read with automatic
    // update off, or once the unit says its receiver cannot report one; a
    // recovery, once the device is identified and, for a unit, its receiver
    // cannot report.
    void PlanCustomImage(const std::string& FileName);
    void PlanRecovery();

    // ---- Verbs ----
    void Open();
    void Close();
    void TurnOff();
    // Asks the front end for a file and sends it.
    void SendImage();
    void LoadCustomFirmware(const std::string& FileName);
    void Recover();
    // A run that cannot begin (its front end refused what it was given) ends at once.
    void RefuseRun(TOutcomeKind Kind, const std::string& Message);
    // Ends the connection so that the next run finds the device as it was; a
    // run not ended yet ends with Kind and Message. Done runs once the port is closed.
    void EndConnection(TOutcomeKind Kind, const std::string& Message, std::function<void()> Done);

    // ---- Front-end input ----
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

    // ---- The firmware ----
    // Another receiver package than the store's (tools and tests).
    void LoadGPSFirmwareImage(const std::string& Resource);
    // Chooses (and holds) the package's image for a receiver reporting
    // Version; the window shows what is required.
    bool FindRequiredImage(const std::string& Version);
    bool LoadArchiveImage(const std::string& Name) { return FImages.LoadArchiveImage(Name); }
    const std::string& ImageName() const { return FImages.Name(); }
    const std::optional<std::string>& Image() const { return FImages.Image(); }
    const std::string& Archive() const { return FImages.Archive(); }
    const std::string& ArchiveLabel() const { return FImages.Label(); }
    const std::vector<std::string>& ArchiveImages() const { return FImages.ReceiverImages(); }
    const TSoftwareVersionCollection& UnitFirmware() const { return FImages.UnitFirmware(); }
    const TFirmwareStore& Store() const { return FStore; }
    // The SHA-256 of the package in use, hex (the store's is taken once for all its sessions).
    std::string PackageSha256() const;

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
    void ReceiverReported(const std::string& Version) override;
    void UnreadableReceiver() override;
    bool RecoveryNow() override;
    void FirmwareStarting(const std::string& Title) override { FRun.FirmwareStarting(Title); }
    void ControllerFromLoader() override;
    void FirmwareBlockServed(int32_t Block) override { FRun.FirmwareBlockServed(Block); }
    void FirmwarePulled() override { FRun.UnitFirmwarePulled(); }
    void FirmwareWritten() override { FRun.FirmwareWritten = true; }
    void TransferComplete(bool Certain) override;
    void ProgramAcknowledged() override { FConfirm.ProgramAcknowledged(); }
    void LoggerStatus(int64_t Current, int64_t Total) override;
    void ModuleProgrammed() override;
    void ModuleIdentifiedAgain() override { FConfirm.ModuleIdentified(); }
    void Progress() override { FConfirm.Progress(); }
    void Repeated(TRunRecord::TRepeat What) override { FRun.Repeated(What); }
    void Failed(TOutcomeKind Kind, const std::string& Message) override { EndRun(Kind, Message); }
    void ShowError(const std::string& Message) override;
    void ImageRefused() override;
    void PortHungUp(TDeviceProcedure& Sender) override;
    void LinkEnded() override { FinishEnding(); }
    void UnitFrame(bool Outgoing, uint8_t Cmd, const std::string& Data) override;
    void ModuleFrame(bool Outgoing, const std::string& Bytes) override;
    void Trace(const std::string& Line) override;

    TProcedureEvents& Events() { return *this; }
    // The procedure of the device type chosen.
    TDeviceProcedure& Proc() const;
    // Every entry from the event loop goes through Entry: it reports
    // exceptions to the application's handler (Catch) or lets them reach the
    // front end that called, and emits DisplayChanged once at the end of the
    // outermost entry when something shown has changed.
    template <typename F> void Entry(bool Catch, F&& Body);
    void UsePackage(std::shared_ptr<const TFirmwarePackage> Package);
    void SetState(TUpdateState Value);
    void ResetDisplay();
    // Opens the connection as Open does; the session's own restarts keep the run and a confirmation going.
    void OpenConnection();
    void FinishEnding();
    void ClosePorts();
    std::string PortText() const;
    std::string DevicePath() const;
    uint64_t SentNow() const { return FUnit->BytesSent() + FModule->BytesSent(); }
    void UpdateStatus();

    // ---- Runs ----
    // Fresh: a run that begins with Open knows nothing of the device yet.
    void BeginRun(bool Fresh);
    void EndRun(TOutcomeKind Kind, const std::string& Message);
    void TransferStarting(TImageSource Source);
    void StartTransfer(TImageSource Source);
    // A planned request goes when the technician's double-click would.
    void RunPlan(bool UnreadableReceiver);
    void RunPlanNow();
    // What the receiver's reported Version means.
    void DecideVersion(const std::string& Version, TImageSource Source);

    // ---- Confirming ----
    void StartConfirmation(bool Certain);
    // The confirmation stops; one that ran is kept for the next Open on the same device.
    void StopConfirmation(bool Keep = false);
    void ConfirmVersion(const std::string& Version);
    void ProgrammingEnded();
    void ConfirmationExpired();
    // A request for another image while the receiver programs is refused with a box.
    bool RefuseWhileConfirming();

    const TFirmwareStore& FStore;
    std::unique_ptr<TUnitProcedure> FUnit;
    std::unique_ptr<TModuleProcedure> FModule;
    TConfirmation FConfirm;
    // Counts the time a freshly opened device stays silent, for the status line.
    QTimer tSilence;
    int FSilentSeconds = 0;

    TUpdateDisplay FDisplay;
    int FEntryDepth = 0;
    TUpdateDisplay FEntryDisplay;
    TUpdateState FUpdateState = TUpdateState::Idle;
    bool FAutoUpdate = true;
    TImageChoice FImages;
    std::vector<std::string> FHeldNotes; // traced while nobody listened, for SetTrace
    TRunRecord FRun;
    std::optional<TUpdateOutcome> FOutcome;
    bool FNoPortChosen = false; // Open was pressed with no port chosen
    std::string FDevicePath;
    std::string FReported; // the last version text the receiver itself reported on this connection
    TImageSource FPlan = TImageSource::None;
    std::string FPlanFile;
    bool FPlanDone = false;
    // What EndConnection does once the link has ended.
    std::function<void()> FEndingDone;
};
