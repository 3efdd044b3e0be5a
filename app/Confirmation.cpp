#include "app/Confirmation.h"

#include "app/UpdateDisplay.h"

#include <algorithm>

using SessionText::Quoted;

namespace
{
// When the last part went out unanswered the device may be programming or
// may never have had it: the old version for this long means it never did.
constexpr int UncertainConfirmMs = 30000;
} // namespace

TConfirmation::TConfirmation()
{
    tConfirm.setSingleShot(true);
    connect(&tConfirm, &QTimer::timeout, this, [this] { TimedOut(); });
    tProgramQuiet.setSingleShot(true);
    connect(&tProgramQuiet, &QTimer::timeout, this, [this] { Quiet(); });
}

void TConfirmation::SetTimeout(int Milliseconds)
{
    FTimeoutMs = Milliseconds > 0 ? Milliseconds : 1;
}

void TConfirmation::SetQuietTime(int Milliseconds)
{
    FQuietMs = Milliseconds > 0 ? Milliseconds : 1;
}

void TConfirmation::Start(const TConfirmationStart& What)
{
    FState = TState();
    FState.What = What;
    FState.Since.start();
    FState.ProgramAcked = What.Found;
    FActive = true;
    tConfirm.setInterval(What.Certain ? FTimeoutMs : std::min(FTimeoutMs, UncertainConfirmMs));
    tConfirm.start();
}

void TConfirmation::Stop()
{
    FActive = false;
    tConfirm.stop();
    tProgramQuiet.stop();
}

void TConfirmation::Progress()
{
    if (FActive)
        tConfirm.start();
}

void TConfirmation::Suspend()
{
    if (FActive)
        FSuspended = FState;
}

void TConfirmation::ForgetExpired()
{
    if (FSuspended && FSuspended->Since.elapsed() >= FTimeoutMs)
        FSuspended.reset();
}

std::string TConfirmation::SuspendedDevice() const
{
    return FSuspended && FSuspended->Since.elapsed() < FTimeoutMs ? FSuspended->What.DeviceID : std::string();
}

bool TConfirmation::Resume(const std::string& DeviceID, bool Unit)
{
    if (!FSuspended)
        return false;
    const TState Kept = *FSuspended;
    FSuspended.reset();
    if (FActive || Kept.What.DeviceID != DeviceID || Kept.Since.elapsed() >= FTimeoutMs)
        return false;
    FState = Kept;
    FActive = true;
    tConfirm.setInterval(FTimeoutMs);
    tConfirm.start();
    if (Unit) {
        // Programming ran before the link was lost: a quiet unit from here on has ended it.
        FState.ProgramAcked = true;
        if (FState.Ran)
            tProgramQuiet.start(FQuietMs);
    } else if (FState.Status02) {
        FState.Ended = true;
    }
    return true;
}

void TConfirmation::ProgramAcknowledged()
{
    FState.ProgramAcked = FActive;
    Progress();
}

bool TConfirmation::LoggerStatus(int64_t Current, int64_t Total)
{
    Progress();
    if (!FActive || !FState.ProgramAcked)
        return false;
    FState.Ran = true;
    tProgramQuiet.start(FQuietMs);
    return Total > 0 && Current >= Total && EndProgramming();
}

void TConfirmation::ModuleStatus02()
{
    if (FActive)
        FState.Status02 = true;
}

bool TConfirmation::ModuleIdentified()
{
    // After its status 02 the module starts again: this identification is a fresh one.
    return FActive && FState.Status02 && EndProgramming();
}

bool TConfirmation::EndProgramming()
{
    if (!FActive || FState.Ended)
        return false;
    FState.Ended = true;
    tProgramQuiet.stop();
    Progress();
    return true;
}

void TConfirmation::Quiet()
{
    // No logger status for a while after some came: the unit is done.
    if (FActive && FState.Ran && EndProgramming() && OnQuiet)
        OnQuiet();
}

TConfirmation::TVerdict TConfirmation::Judge(const std::string& Version)
{
    // An empty answer is no evidence: a late acknowledgement of another
    // command looks the same.
    if (Version.empty())
        return TVerdict::Undecided;
    TState& S = FState;
    if (Version != (S.Answered ? S.LastAnswer : S.What.Before))
        Progress();
    if (!S.Answered)
        S.FirstAnswer = Version;
    S.Answered = true;
    S.LastAnswer = Version;
    S.LastAnswerAt.start();

    const std::string& Expected = S.What.Expected;
    // Only a programmed receiver can report the version the tool sent, if it ran another before.
    if (!Expected.empty() && Version == Expected && Version != S.What.Before)
        return TVerdict::Confirmed;
    // A receiver whose answer changed while the session watched was programmed.
    if (Version != S.FirstAnswer)
        S.Ended = true;
    if (!S.Ended)
        return TVerdict::Undecided;
    return Expected.empty() || Version == Expected ? TVerdict::Confirmed : TVerdict::WrongVersion;
}

void TConfirmation::TimedOut()
{
    if (FActive && OnExpired)
        OnExpired();
}

TConfirmation::TExpiry TConfirmation::Expire(bool MayDecideAgain)
{
    const TState S = FState;
    Stop();
    TExpiry E;
    const bool Automatic = S.What.Source == TImageSource::Automatic;
    if (!S.What.Certain && !S.Ended) {
        // The receiver kept its old version well past any programming: the
        // last part never arrived. An automatic update decides again.
        if (Automatic && S.Answered && MayDecideAgain) {
            E.What = TExpiry::TWhat::DecideAgain;
            E.Version = S.LastAnswer;
            return E;
        }
        if (!Automatic) {
            E.What = TExpiry::TWhat::Failed;
            E.Message = "the image did not reach the device completely; the receiver reports " +
                        (S.Answered ? Quoted(S.LastAnswer) : std::string("no version"));
            return E;
        }
    }
    const std::string Seconds = std::to_string(tConfirm.interval() / 1000) + " s";
    const std::string Reports = ": it reported " +
                                (S.What.Before.empty() ? std::string("no version") : Quoted(S.What.Before)) +
                                " before and " +
                                (S.Answered ? "last reported " + Quoted(S.LastAnswer) + " " +
                                                  std::to_string(S.LastAnswerAt.elapsed() / 1000) + " s ago"
                                            : std::string("reports no version now"));
    E.What = TExpiry::TWhat::NotConfirmed;
    if (S.What.Found) {
        E.Message =
            "the receiver was found programming, but " +
            std::string(S.Ended ? "did not report its version" : "gave no sign that its programming ended") +
            " within " + Seconds + "; nothing was sent";
        return E;
    }
    E.Message =
        S.Ended ? "the device programmed the image, but the receiver did not report the new version within " +
                      Seconds + Reports
                : "the image was sent, but the device gave no sign within " + Seconds +
                      " that its receiver was programmed" + Reports;
    return E;
}
