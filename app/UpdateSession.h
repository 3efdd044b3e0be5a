#pragma once
// The update session: every update procedure of the tool, without widgets.
// It owns the link to a tracking unit (CX), the port to an External GPS
// module (cCom1), the timers and the loaded firmware, and keeps what the
// window shows as plain data (Display()). A front end renders that data when
// DisplayChanged is emitted, forwards the user's actions to the procedures
// named after the window's handlers (bOpenClick, pGPSNeededDblClick, ...) and
// answers the two questions the session asks (OnChooseFirmwareFile,
// OnShowError). Everything runs on the Qt main thread.
#include "app/Confirmation.h"
#include "app/ImageChoice.h"
#include "app/LinkEnding.h"
#include "app/ModuleTransfer.h"
#include "app/RunRecord.h"
#include "app/UnitTransfer.h"
#include "app/UpdateDisplay.h"
#include "app/UpdateOutcome.h"
#include "firmware/FirmwarePackage.h"
#include "firmware/SoftUpdate.h"
#include "link/Corvex2.h"
#include "link/ModuleLink.h"
#include "serial/ComPort.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TUpdateSession : public QObject,
                       private TUnitTransferHost,
                       private TModuleTransferHost,
                       private TConfirmationHost,
                       private TLinkEndingHost
{
    Q_OBJECT

  public:
    // Runs FormCreate with the program's arguments (without the program name).
    explicit TUpdateSession(const std::vector<std::string>& Arguments = {}, QObject* Parent = nullptr);
    ~TUpdateSession() override;

    const TUpdateDisplay& Display() const { return FDisplay; }

    // ---- Asked of the front end ----
    // The firmware file to send ("Custom firmware update", *.bin); empty = cancelled.
    std::function<std::string(TUpdateSession* Sender)> OnChooseFirmwareFile;
    // An error message box with one OK button.
    std::function<void(TUpdateSession* Sender, const std::string& Message)> OnShowError;
    // ---- Told to the front end (read-only; an empty function is skipped) ----
    // Every unit frame: each frame sent (Outgoing) and each good frame
    // received, with its command and its payload as spaced hex text.
    std::function<void(TUpdateSession* Sender, bool Outgoing, uint8_t Cmd, const std::string& Data)>
        OnUnitFrame;
    // Every module frame: Outgoing = the wire bytes written to cCom1 (command
    // frames, raw acknowledgements, controller blocks); incoming = the content
    // of each frame received, unescaped, checksum included (in state 5 the
    // bytes of each reception, which are not framed).
    std::function<void(TUpdateSession* Sender, bool Outgoing, const std::string& Bytes)> OnModuleFrame;
    // The session's trace, for logs: a line for each frame above ("TX unit
    // 0B ...", "RX module 00 2C ..."), and lines beginning with "# " for what
    // else a maintainer wants to know (the ports' latency set-up, why an
    // image could not be used).
    std::function<void(TUpdateSession* Sender, const std::string& Line)> OnTrace;
    // Sets OnTrace and hands it first the notes traced while there was none
    // (the embedded firmware is loaded while the session is made).
    void SetTrace(std::function<void(TUpdateSession* Sender, const std::string& Line)> Trace);

    // ---- Settings ----
    // How long the device may stay without a sign of progress while the
    // session waits for it to report the new version (default 120 s).
    void SetConfirmTimeout(int Milliseconds);
    int ConfirmTimeout() const { return FConfirm.Timeout(); }
    // A unit that reported logger status and then none for this long has
    // ended its programming (default 5 s).
    void SetProgramQuietTime(int Milliseconds);

    // ---- Requests decided by the session ----
    // A custom image (the "Required version" double-click) or a forced
    // recovery (the "Current version" double-click), done at the moment the
    // technician's double-click would be: a custom image once the receiver's
    // version is read with automatic update off, or once the unit says its
    // receiver cannot report one; a recovery once the device is identified
    // and, for a unit, its receiver cannot report. Given before Open.
    void PlanCustomImage(const std::string& FileName);
    void PlanRecovery();

    // A run that cannot begin (its front end refused what it was given) ends
    // at once with Kind and Message; its outcome names the device and port
    // as any other.
    void RefuseRun(TOutcomeKind Kind, const std::string& Message);
    // Ends the connection so that the next run finds the device as it was:
    // nothing of the update runs on; a unit is asked to leave its command mode
    // once no answer is due (at most 1.5 s), and its port closes when it has
    // answered (at most 3 s later); a module's port closes at once. Done runs
    // when both ports are closed. A run that has not ended yet ends with
    // Kind (TimedOut, Interrupted) and Message.
    void EndConnection(TOutcomeKind Kind, const std::string& Message, std::function<void()> Done);
    // The receiver may be programming: a transfer is complete and the new
    // version is not yet confirmed. Interrupting now may leave it unusable.
    bool ReceiverAtRisk() const { return FConfirm.Active(); }
    // The link ended while the receiver may have been programming, and its
    // time has not run out: the device whose confirmation the next Open
    // follows to its end if the same device answers (empty: none).
    std::string KeptConfirmation() const { return FConfirm.SuspendedDevice(); }
    // The unit answered the update parameter: its receiver cannot report a version.
    bool ReceiverCannotReport() const { return FReceiverCannotReport; }
    // The outcome of the last run that ended.
    const std::optional<TUpdateOutcome>& Outcome() const { return FOutcome; }
    TTransferProgress TransferProgress() const;

    // ---- Front-end input ----
    // Refused (False) while the device type is locked.
    bool SetDeviceType(int Value);
    void SetComNumber(int Value);
    // A device path for both ports instead of the one the port number maps to.
    void SetDevicePath(const std::string& Path);
    // The lamps flashed for transmission, reception and GPS reports; not owned, may be null.
    void SetLamps(TCX_Lamp* Tx, TCX_Lamp* Rx, TCX_Lamp* GPSData);

    // ---- Window handlers ----
    void FormCreate(const std::vector<std::string>& Arguments);
    void FormDestroy();
    void bOpenClick();
    void bCloseClick();
    void bOffClick();
    void pGPSNeededDblClick();
    void pGPSCurrentDblClick();

    // ---- Link events ----
    void CXAfterOpen(TCorvex* Sender);
    void CXGotVersionInfo(TCorvex* Sender, const TCX_VersionInfo& Info);
    void CXSoftwareUpdate(TCorvex* Sender, int32_t Block, int32_t Percent);
    void CXGPSLocation(TCorvex* Sender, const TCX_GPSLocation& GPSLocation);
    void CXRequestParameter(TCorvex* Sender, int32_t Parameter, bool Valid, const std::string& Value,
                            const std::string& HexValue);
    void CXSetParameter(TCorvex* Sender, int32_t Parameter, bool Success);
    void CXEEPromDataWrite(TCorvex* Sender, bool Result);
    void CXFastSpeed(TCorvex* Sender);
    void CXLoggerStatus(TCorvex* Sender, const TCX_LoggerStatus& Status);

    // ---- Module link events ----
    void MXIdentity(TModuleLink* Sender, const TModuleIdentity& Identity);
    void MXReceiverVersion(TModuleLink* Sender, const std::string& Version);
    void MXReceiverReady(TModuleLink* Sender);
    void MXStatus(TModuleLink* Sender, TModuleStatus Status);
    void MXDot(TModuleLink* Sender);
    void MXControllerStarted(TModuleLink* Sender);
    void MXControllerProgress(TModuleLink* Sender, bool Active, double Percent);

    // ---- Module port events and timers ----
    void cCom1PortOpen(TComPort* Sender);
    void cCom1DataRecived(TComPort* Sender, int32_t Count);
    // Bytes from the module as if read from its port (replays and tests).
    void ModuleReceived(const std::string& Bytes);
    void TimerE3Timer();
    void tWriteRetryTimer();
    void tVersionRetryTimer();
    void tGPSVersionPollTimer();

    // ---- Procedures ----
    // Loads the receiver images from a given "gps_fw" package (tools and
    // tests with other packages than the embedded one).
    void LoadGPSFirmwareImage(const std::string& Resource);
    void SendModuleIdentify();
    void SendToGPS(const std::string& Text);
    bool FindRequiredImage(const std::string& Version);
    std::string FindAXNImage(const std::string& Version) const { return FImages.FindAXNImage(Version); }
    std::string FindEVAImage(const std::string& Version) const { return FImages.FindEVAImage(Version); }
    bool LoadArchiveImage(const std::string& Name) { return FImages.LoadArchiveImage(Name); }
    void LoadCustomFirmware(const std::string& FileName);

    // ---- State, read-only ----
    TUpdateState UpdateState() const { return FUpdateState; }
    bool AutoUpdate() const { return FAutoUpdate; }
    const std::string& ImageName() const { return FImages.Name(); }
    const std::optional<std::string>& Image() const { return FImages.Image(); }
    int32_t UpdatedUnitID() const { return FUpdatedUnitID; }
    // The loaded "gps_fw" package (empty before it is loaded).
    const std::string& Archive() const { return FImages.Archive(); }
    const std::string& ArchiveLabel() const { return FImages.Label(); }
    // The package itself: sessions of one program share the embedded one.
    const TFirmwarePackage* Package() const { return FImages.Package().get(); }
    const std::vector<std::string>& ArchiveImages() const { return FImages.ReceiverImages(); }
    const TSoftwareVersionCollection& UnitFirmware() const { return FImages.UnitFirmware(); }
    const TSoftwareUpdate& ModuleUpdate() const { return FModuleUpdate; }
    // The receiver transfer to the module (its blocks, cursor and timer).
    const TModuleTransfer& ModuleTransfer() const { return FModuleTransfer; }
    // The receiver transfer through the unit (its records, timers and answers).
    const TUnitTransfer& UnitTransfer() const { return FUnitTransfer; }

    // Whether an exception tied to Owner (see TExceptionOwner) came from this
    // session, its links or its ports.
    bool OwnsException(const void* Owner) const;

    // The links, read-only, for front ends that report on them (and for tests).
    const TCorvex& Unit() const { return CX; }
    const TModuleLink& Module() const { return MX; }
    const TComPort& ModulePort() const { return MX.Port(); }

    // Asks the module who it is, or its receiver's version, until it answers.
    QTimer TimerE3;
    // Asks the unit for its version information again until it arrives.
    QTimer tVersionRetry;

  signals:
    void DisplayChanged();
    // Once per run, when it ends.
    void Finished(const TUpdateOutcome& Outcome);

  private:
    TCorvex CX;
    TModuleLink MX; // owns the module's port cCom1
    TComPort& cCom1;
    // Counts the time a freshly opened device stays silent, for the status line.
    QTimer tSilence;
    TUnitTransfer FUnitTransfer;
    TModuleTransfer FModuleTransfer;
    TConfirmation FConfirm;
    TLinkEnding FLinkEnding;

    // What the transfers, the confirmation and the ending report.
    void Step(const std::function<void()>& Body) override;
    void TransferState(TUpdateState State) override;
    void SendBar(int Position, int Maximum) override;
    void UpdateBar(int Position, int Maximum) override;
    void ProgressText(const std::string& Text) override;
    void TransferComplete(bool Certain) override;
    void TransferFailed(TOutcomeKind Kind, const std::string& Message) override;
    void ProgramStarted() override;
    void RecordSentAgain() override;
    void BlockSentAgain() override;
    void StartAgain() override;
    void BlockRefused() override;
    void ConfirmationExpired() override;
    void ProgrammingQuiet() override;
    void LinkEnded() override;

    // Every entry from the event loop goes through Entry: it reports
    // exceptions to the application's handler (Catch) or lets them reach the
    // front end that called, and emits DisplayChanged once at the end of the
    // outermost entry when something shown has changed.
    template <typename F> void Entry(bool Catch, F&& Body);
    // A handler of the session as an event of a link, a port or a timer: run through Entry.
    template <typename... A> auto Handler(void (TUpdateSession::*Method)(A...));

    void ResetDisplay();
    void LoadModuleFirmware();
    void LoadGPSFirmware();
    void UseGPSFirmware(std::shared_ptr<const TFirmwarePackage> Package);
    void SetState(TUpdateState Value);
    void Trace(const std::string& Line);
    void ModuleFrame(bool Outgoing, const std::string& Bytes);
    void ShowError(const std::string& Message);

    // ---- Runs and their outcome ----
    using TSource = TImageSource;
    // Fresh: a run that begins with Open knows nothing of the device yet;
    // otherwise it begins on the device the connection already shows.
    void BeginRun(bool Fresh);
    void EndRun(TOutcomeKind Kind, const std::string& Message);
    void Identified(const std::string& DeviceID, const std::string& Firmware);
    // The module asked for its controller firmware from its loader.
    void ControllerFromLoader();
    void TransferStarting(TSource Source);
    void TransferEnded();
    // The device path of the port in use: the one given, else the port map's.
    std::string DevicePath() const;
    // Bytes written to either device so far, and the rate of the line in use.
    uint64_t SentNow() const;
    uint32_t LineRate() const;
    void UpdateStatus();
    void HandlePortException(const std::exception& E);
    // "COM 5", or the device path when the port was given by one the port map does not know.
    std::string PortText() const;
    // The device on Port hung up (unplugged): the ports close and the run
    // ends saying what that means for the receiver.
    void PortHungUp(TComPort* Port);
    // A module that was updated or is up to date is let go of, as a unit is by its turn-off.
    void ReleaseModulePortLater();
    // Opens the connection as "Open" does; the session's own restarts keep
    // the run and a confirmation going.
    void OpenConnection();

    // ---- Confirming a transfer ----
    // Certain: the device accepted every part; otherwise the last part went
    // out unanswered and the device may or may not be programming.
    void StartConfirmation(bool Certain);
    // The confirmation stops; one that ran is kept for the next Open on the same device.
    void StopConfirmation(bool Keep = false);
    // A version the receiver reported (never the recovery text).
    void ReceiverReported(const std::string& Version);
    void ConfirmVersion(const std::string& Version);
    void Confirmed(const std::string& Version);
    // Programming ran and ended: a unit is asked for its version at once.
    void ProgrammingEnded();
    // The same device is back (ID): the confirmation goes on where it was.
    bool ResumeConfirmation(const std::string& DeviceID);
    // A request for another image while the receiver programs is refused with a box.
    bool RefuseWhileConfirming();

    // ---- The image to send ----
    // What the receiver's reported Version means: up to date, not supported,
    // nothing in manual mode, or a transfer of the image from Source.
    void DecideVersion(const std::string& Version, TSource Source);
    void CheckGPSVersion(const std::string& Version);
    bool TransferPossible();
    void StartUnitTransfer();
    void StartModuleTransfer();
    // A planned request goes when the technician's double-click would.
    void RunPlan(bool UnreadableReceiver);
    void RunPlanNow();

    // ---- Ending the link ----
    using TEnding = TLinkEnding::THow;
    // Nothing of the update runs on; the unit's link ends once the line is quiet.
    void StartEnding(TEnding How);
    void FinishEnding();
    void ClosePorts();
    bool Ending() const { return FLinkEnding.Ending(); }

    TUpdateDisplay FDisplay;
    int FEntryDepth = 0;
    TUpdateDisplay FEntryDisplay;

    TCX_Lamp* tlTX = nullptr;
    TCX_Lamp* tlRX = nullptr;
    TCX_Lamp* lGPSData = nullptr;

    TUpdateState FUpdateState = TUpdateState::Idle;
    bool FAutoUpdate = true;
    int32_t FUpdatedUnitID = -1;
    // The firmware package (opened once per load) and the image held for sending.
    TImageChoice FImages;
    // Notes traced while nobody listened, for SetTrace.
    std::vector<std::string> FHeldNotes;
    TSoftwareUpdate FModuleUpdate;

    // A version information was asked for and has not arrived yet.
    bool FAwaitingVersion = false;

    TRunRecord FRun;
    std::optional<TUpdateOutcome> FOutcome;
    int FSilentSeconds = 0;
    // Open was pressed with no port chosen.
    bool FNoPortChosen = false;
    std::string FDevicePath;
    // The last version text the receiver itself reported on this connection.
    std::string FReported;
    bool FReceiverCannotReport = false;

    TSource FPlan = TSource::None;
    std::string FPlanFile;
    bool FPlanDone = false;

    // What EndConnection does once the link has ended.
    std::function<void()> FEndingDone;
};
