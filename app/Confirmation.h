#pragma once
// Whether a transfer took. A version read after a transfer decides only on
// evidence: the version the tool knows it sent (and the receiver did not run
// before) confirms at once; any other decides once the device has shown that
// its programming ran and ended — a unit: logger status after its
// acknowledgement of 65352 := 1, then its total reached or a quiet time; a
// module: status 02 after the last block, then a fresh identification;
// either: its answer changed from one version to another while watched.
// Before that, a version read is shown and decides nothing: a receiver about
// to program, or programming, reports its old version or nothing.
#include "app/UpdateOutcome.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>
#include <string>

// What a confirmation starts from.
struct TConfirmationStart {
    // The device accepted every part; otherwise the last one went out
    // unanswered and the device may or may not be programming.
    bool Certain = true;
    TImageSource Source = TImageSource::Automatic;
    std::string DeviceID;
    std::string Before;   // the receiver's version before the transfer, "" for none
    std::string Expected; // the version the tool knows it sent; "" for a custom image
    std::string Shown;    // what the window showed as required
    // A programming found under way, not of this run's: nothing was sent, and
    // the receiver is followed to its end (its logger status showed it programming).
    bool Found = false;
};

class TConfirmation : public QObject
{
  public:
    // What a version read means.
    enum class TVerdict { Undecided, Confirmed, WrongVersion };
    // What the confirmation time running out means.
    struct TExpiry {
        enum class TWhat { DecideAgain, Failed, NotConfirmed } What = TWhat::NotConfirmed;
        std::string Message; // for Failed and NotConfirmed
        std::string Version; // for DecideAgain: the receiver's last answer
    };

    TConfirmation();

    // The device gave no sign of progress for the confirmation time.
    std::function<void()> OnExpired;
    // A unit that reported its programming went quiet: it has ended.
    std::function<void()> OnQuiet;

    // How long the device may stay without a sign of progress (default 120 s).
    void SetTimeout(int Milliseconds);
    int Timeout() const { return FTimeoutMs; }
    // A unit that reported logger status and then none for this long has
    // ended its programming (default 5 s).
    void SetQuietTime(int Milliseconds);

    void Start(const TConfirmationStart& What);
    void Stop();
    bool Active() const { return FActive; }
    const TConfirmationStart& What() const { return FState.What; }
    // A sign of progress: the confirmation time starts again.
    void Progress();

    // The link ended while the confirmation ran (unplugged, Close, Off): it
    // is kept for the next connection to the same device.
    void Suspend();
    // Forgets a kept confirmation whose time has run out.
    void ForgetExpired();
    bool Suspended() const { return FSuspended.has_value(); }
    // The device of a kept confirmation whose time has not run out; empty for none.
    std::string SuspendedDevice() const;
    // The same device (DeviceID) is back within the confirmation time: the
    // kept confirmation goes on where it was. A unit had acknowledged
    // 65352 := 1 before its link was lost, so what it programs now is what it
    // was sent; a module back after its status 02 is freshly identified.
    bool Resume(const std::string& DeviceID, bool Unit);

    // ---- Evidence ----
    // The unit took 65352 := 1 (or showed by its logger status that it heard it).
    void ProgramAcknowledged();
    // A unit's logger status, a sign of progress. After the acknowledgement
    // it shows programming, which ends when Current reaches Total: true
    // when it has just ended.
    bool LoggerStatus(int64_t Current, int64_t Total);
    // The module's status 02 after the last block.
    void ModuleStatus02();
    // The module identified itself again; true when that ended its programming.
    bool ModuleIdentified();
    // Programming ran and ended; true when that is news.
    bool EndProgramming();
    bool ProgramRan() const { return FState.Ran; }
    // The device has shown that its programming ended (by any evidence above).
    bool ProgramEnded() const { return FState.Ended; }

    // A version the receiver reported while confirming.
    TVerdict Judge(const std::string& Version);
    // The confirmation time ran out (the confirmation stops). Undecided may
    // decide again only when the device is idle.
    TExpiry Expire(bool MayDecideAgain);

  private:
    void TimedOut();
    void Quiet();

    int FTimeoutMs = 120000;
    int FQuietMs = 5000;

    struct TState {
        TConfirmationStart What;
        bool ProgramAcked = false;
        bool Ran = false;      // a logger status after the acknowledgement
        bool Status02 = false; // the module's status 02 after the last block
        bool Ended = false;    // programming ran and ended
        bool Answered = false;
        std::string FirstAnswer, LastAnswer; // non-empty versions read while confirming
        QElapsedTimer LastAnswerAt;
        QElapsedTimer Since; // from the end of the transfer
    };
    bool FActive = false;
    TState FState;
    std::optional<TState> FSuspended;

    QTimer tConfirm;
    QTimer tProgramQuiet;
};
