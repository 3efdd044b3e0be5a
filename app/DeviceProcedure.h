#pragma once
// One device on one port: the tracking unit through its link, or the External
// GPS module through its port. A procedure knows its device's protocol — how
// it is opened, identified, sent an image, followed while it programs and let
// go of — and reports what the device does through TProcedureEvents. The
// update session conducts: it owns one procedure per device type and keeps
// the runs, the plan, the confirmation and the outcome.
#include "app/RunRecord.h"
#include "app/TransferHost.h"
#include "app/UpdateDisplay.h"
#include "app/UpdateOutcome.h"

#include <cstdint>
#include <functional>
#include <string>

class TCX_Lamp;
class TDeviceProcedure;

// What a procedure tells the session. Every call comes from the main thread,
// inside a Step or inside a call of the session's.
class TProcedureEvents
{
  public:
    // Runs a step that comes from the event loop (a link or port event, a
    // timer): the session's exception guard and its display.
    virtual void Step(const std::function<void()>& Body) = 0;
    // What the window shows; the session tells its front end once the step ends.
    virtual TUpdateDisplay& Shown() = 0;
    virtual void ChangeState(TUpdateState State) = 0;
    // A confirmation runs: the device may be programming what it was sent.
    virtual bool Confirming() const = 0;
    virtual bool RunActive() const = 0;

    // ---- The device ----
    // It said who it is (its facts are shown).
    virtual void Identified() = 0;
    // The same device whose programming a kept confirmation followed is back:
    // true when the session follows it again (then nothing else is sent).
    virtual bool FollowKept() = 0;
    // The link opened (again): what was shown of the device is forgotten.
    virtual void LinkOpened() = 0;
    // The identification starts again as at Open (the module after its
    // controller update, its last block, its status 02 or a stall): the run
    // and the confirmation go on.
    virtual void StartAgain() = 0;
    // The unit reported its logger status with nothing of this run's under
    // way: its receiver is programming (a link lost while it did, a tool that
    // ended meanwhile). Nothing may be sent to it but questions.
    virtual void ProgrammingFound() = 0;
    // The receiver reported Version (never the recovery text).
    virtual void ReceiverReported(const std::string& Version) = 0;
    // The unit says its receiver cannot report a version.
    virtual void UnreadableReceiver() = 0;
    // A module was identified with nothing to decide yet: true when a
    // planned recovery goes now.
    virtual bool RecoveryNow() = 0;

    // What the run did, as its record keeps it: the device's own firmware
    // offered, served, pulled and written, the repeats. What happens while no
    // run is active counts for nothing.
    virtual TRunRecord& Run() = 0;
    // A run begins on the device as the window shows it, unless one runs
    // (the module's loader asked for its firmware by itself).
    virtual void EnsureRun() = 0;

    // ---- The receiver's transfer and programming ----
    // Every part went out: Certain when the device accepted each one.
    virtual void TransferComplete(bool Certain) = 0;
    // The unit took 65352 := 1, or showed by its logger status that it heard it.
    virtual void ProgramAcknowledged() = 0;
    // A unit's logger status.
    virtual void LoggerStatus(int64_t Current, int64_t Total) = 0;
    // The module's status 02 while confirming: its programming ended (or failed).
    virtual void ModuleProgrammed() = 0;
    // The module identified itself again while confirming.
    virtual void ModuleIdentifiedAgain() = 0;
    // A sign of life that is no evidence (the confirmation's time starts again).
    virtual void Progress() = 0;

    // ---- The run ----
    // The step cannot go on: how the run ends, and why.
    virtual void Failed(TOutcomeKind Kind, const std::string& Message) = 0;
    // An error message box for the user.
    virtual void ShowError(const std::string& Message) = 0;
    // The port hung up (the device was unplugged).
    virtual void PortHungUp(TDeviceProcedure& Sender) = 0;
    // The link ended the way it was asked to (or could not be asked).
    virtual void LinkEnded() = 0;

    // ---- For logs ----
    virtual void UnitFrame(bool Outgoing, uint8_t Cmd, const std::string& Data) = 0;
    virtual void ModuleFrame(bool Outgoing, const std::string& Bytes) = 0;
    virtual void Trace(const std::string& Line) = 0;

  protected:
    ~TProcedureEvents() = default;
};

class TDeviceProcedure
{
  public:
    virtual ~TDeviceProcedure() = default;

    // ---- The port ----
    virtual void SetDevicePath(const std::string& Path) = 0;
    virtual void SetLamps(TCX_Lamp* Tx, TCX_Lamp* Rx, TCX_Lamp* GPSData) = 0;
    // Opens the device on port ComNumber and identifies it. MayBeProgramming:
    // a receiver may still program from an earlier link, so nothing but
    // questions may reach it.
    virtual void Open(int ComNumber, bool MayBeProgramming) = 0;
    // Closes the port at once; nothing of the device's procedure runs on.
    virtual void Close() = 0;
    // Closes the port after it hung up, leaving the rest as it is.
    virtual void DropPort() = 0;
    virtual bool PortOpen() const = 0;
    // The device path in use (empty: the port map's for the number).
    virtual std::string DevicePath() const = 0;
    virtual uint32_t LineRate() const = 0;
    virtual uint64_t BytesSent() const = 0;
    // Whether an exception tied to Owner came from this device's link or port.
    virtual bool OwnsException(const void* Owner) const = 0;

    // ---- What the session asks ----
    // Forgets the device and stops every transfer and question.
    virtual void Reset() = 0;
    // The update state changed.
    virtual void StateEntered(TUpdateState State) = 0;
    // A run begins on this device.
    virtual void RunBegins() = 0;
    // Why no image can be sent now; empty when one can.
    virtual std::string CannotSend() const = 0;
    // Whether a recovery image may be sent to this device.
    virtual bool RecoveryPossible() const = 0;
    virtual bool ReceiverCannotReport() const = 0;
    // Why Image (called Name) can never go to this device; empty when it can.
    virtual std::string ImageProblem(const std::string& Image, const std::string& Name) const = 0;
    // Sends Image (named Name in messages). False when it could not start
    // (the procedure has reported why).
    virtual bool SendImage(const std::string& Image, const std::string& Name) = 0;
    // Stops a transfer that has not begun.
    virtual void StopTransfer() = 0;
    // The bar that counts the image's parts in State; null when none does.
    virtual const TProgressBarState* CountingBar(TUpdateState State, const TUpdateDisplay& Shown) const = 0;
    // Follows a receiver that may be programming: only its version is asked.
    virtual void Follow() = 0;
    // Programming ran and ended: the version is asked for at once.
    virtual void ProgrammingEnded() = 0;
    // The receiver is done (up to date, or confirmed): the device is let go.
    virtual void LetGo() = 0;
    // A run on this device ended with Outcome.
    virtual void RunEnded(const TUpdateOutcome& Outcome) = 0;
    // The user switched the device off. False when the device cannot hear it
    // (a unit still being woken): nothing was sent, and the port should be let go.
    virtual bool TurnOff() = 0;
    // Ends the link politely; true when it has ended already (LinkEnded
    // follows otherwise).
    virtual bool EndLink() = 0;
    // The link is ending, or being watched until it ends.
    virtual bool Ending() const = 0;
    virtual bool EndingWatched() const = 0;
};

// What a device's transfer reports (THost: its host interface), told to the
// session's events the same way by every procedure.
template <typename THost> class TTransferToEvents : public THost
{
  protected:
    explicit TTransferToEvents(TProcedureEvents& Events) : FEvents(Events) {}
    ~TTransferToEvents() = default;

    void Step(const std::function<void()>& Body) override { FEvents.Step(Body); }
    void TransferState(TUpdateState State) override { FEvents.ChangeState(State); }
    void SendBar(int Position, int Maximum) override { FEvents.Shown().pSendProgress.Set(Position, Maximum); }
    void UpdateBar(int Position, int Maximum) override
    {
        FEvents.Shown().pUpdateProgress.Set(Position, Maximum);
    }
    void ProgressText(const std::string& Text) override { FEvents.Shown().vProgress = Text; }
    void TransferComplete(bool Certain) override { FEvents.TransferComplete(Certain); }
    void TransferFailed(TOutcomeKind Kind, const std::string& Message) override
    {
        FEvents.Failed(Kind, Message);
    }

    TProcedureEvents& FEvents;
};
