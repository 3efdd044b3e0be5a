#include "app/cli/CliFrontEnd.h"

#include "app/SessionStatus.h"
#include "app/SignalWatcher.h"
#include "app/cli/CliGuard.h"
#include "app/cli/JsonOut.h"
#include "firmware/MyCrypt.h"
#include "serial/AppException.h"
#include "serial/PortAdapter.h"
#include "serial/PortError.h"
#include "serial/PortMap.h"

#include <QCoreApplication>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int ProgressRedrawMs = 100;
constexpr int JsonPaceMs = 1000;
constexpr int JsonDisplayMs = 100;

// A bar that moved to its start or its end.
bool AtEdge(const TProgressBarState& Now, const TProgressBarState& Shown)
{
    return !(Now == Shown) && (Now.Position == 0 || Now.Position == Now.Maximum);
}

// The port-map number of a device path, so that the session, which opens by
// number, has one; any number serves when the path is not in the map (the
// session then names the port by its path).
int NumberForPath(const std::string& Path)
{
    const int Number = ComNumberOfPath(Path);
    return Number > 0 ? Number : 1;
}

} // namespace

TCliFrontEnd::TCliFrontEnd(const TCliOptions& Options, TUpdateSession& Session, TCliConsole& Console,
                           TCliView View, QObject* Parent)
    : QObject(Parent), FOptions(Options), FSession(Session), FConsole(Console), FView(View),
      FTerminal(Console.Terminal() && View == TCliView::Single),
      FExternalGPS(Options.Device == TCliDevice::ExternalGPS), FRenderer(FExternalGPS, FTerminal)
{
    FTimeout.setSingleShot(true);
    connect(&FTimeout, &QTimer::timeout, this, [this] {
        Guarded([&] {
            Stop(TOutcomeKind::TimedOut,
                 "no result within " + QString::number(FOptions.TimeoutSeconds).toStdString() +
                     " s; the link was closed",
                 "the time limit (--timeout) ran out");
        });
    });
    FProgressTimer.setSingleShot(true);
    connect(&FProgressTimer, &QTimer::timeout, this, [this] { Guarded([&] { DrawProgress(true); }); });
    FProgressClock.start();
    FJsonDisplayTimer.setSingleShot(true);
    connect(&FJsonDisplayTimer, &QTimer::timeout, this, [this] { Guarded([&] { FlushJsonDisplay(); }); });
}

TCliFrontEnd::~TCliFrontEnd()
{
    Detach();
}

// The run is over: the session may serve a next run on the same port (a
// station's), whose displays and outcome are not this run's.
void TCliFrontEnd::Detach()
{
    if (FDetached)
        return;
    FDetached = true;
    disconnect(&FSession, nullptr, this, nullptr);
    FSession.OnShowError = nullptr;
    FSession.OnChooseFirmwareFile = nullptr;
    FSession.OnTrace = nullptr;
}

std::string TCliFrontEnd::PortText() const
{
    // Named as it was at the start: a device that went away has no path any more.
    if (!FPortText.empty())
        return FPortText;
    if (!FOptions.PortPath.empty())
        return FOptions.PortPath;
    const std::string Path = ComPortDevicePath(FOptions.PortNumber);
    const std::string Name = "COM " + std::to_string(FOptions.PortNumber);
    if (Path.empty())
        return Name + " (no device)";
    const std::string Target = CanonicalDevicePath(Path);
    return Name + " (" + (Target == Path ? Path : Path + " -> " + Target) + ")";
}

// ---------------------------------------------------------------- output

void TCliFrontEnd::PrintLine(const std::string& Line)
{
    FConsole.Line(FPrefix + Line);
}

void TCliFrontEnd::PrintError(const std::string& Line)
{
    FConsole.Error(FPrefix + Line);
    if (FOptions.Json)
        PrintJson(TJsonObject().Add("event", "error").Add("message", Line).Str());
    FFiles.Log("# error: " + Line);
}

void TCliFrontEnd::PrintJson(const std::string& Json)
{
    FConsole.JsonLine(FView == TCliView::Single ? Json : JsonWithPort(Json, FComNumber, FDevicePath));
}

void TCliFrontEnd::DrawProgress(bool Force)
{
    if (!FTerminal || (!FConsole.LiveShown().empty() && FProgressWanted == FConsole.LiveShown().front()))
        return;
    if (FProgressWanted.empty()) {
        EndProgress();
        return;
    }
    // Redraws are limited: a fast device changes the percentage far more
    // often than anyone can read.
    if (!Force && FProgressClock.elapsed() < ProgressRedrawMs) {
        if (!FProgressTimer.isActive())
            FProgressTimer.start(ProgressRedrawMs);
        return;
    }
    FProgressTimer.stop();
    FProgressClock.restart();
    FConsole.Live({FProgressWanted});
}

void TCliFrontEnd::EndProgress()
{
    // The last progress line stays on the screen as a record of the transfer.
    FProgressTimer.stop();
    if (FTerminal) {
        if (!FProgressWanted.empty())
            FConsole.Live({FProgressWanted});
        FConsole.KeepLive();
    }
    FProgressWanted.clear();
}

// The transfer's elapsed time, rate and time left: on the progress line,
// and as a JSON event at most once a second, and once more with the
// transfer's own figures when its last part went out.
void TCliFrontEnd::ShowPace(TRenderOutput& Out)
{
    const TTransferProgress P = FSession.TransferProgress();
    if (!P.Active && !P.Ended) {
        FPace.Reset();
        FLastPace.reset();
        FJsonPaceEnded = false;
        return;
    }
    if (P.Ended && FJsonPaceEnded)
        return;
    const TPace Pace = FPace.Update(P);
    FLastPace = Pace;
    if (P.Active && !Out.Progress.empty())
        Out.Progress += PaceText(Pace);
    // The transfer's end always goes out, however soon after the last event.
    if (!FOptions.Json || (!P.Ended && FJsonPaceClock.isValid() && FJsonPaceClock.elapsed() < JsonPaceMs))
        return;
    FJsonPaceClock.start();
    FJsonPaceEnded = P.Ended;
    TJsonObject J;
    J.Add("event", "progress")
        .Add("elapsed", Pace.Elapsed, 3)
        .Add("image_bytes", static_cast<int64_t>(P.ImageBytes))
        .Add("image_done", static_cast<int64_t>(P.ImageDone))
        .Add("line_bytes", static_cast<int64_t>(P.LineBytes))
        .Add("line_rate", static_cast<int64_t>(P.LineRate));
    if (Pace.Paced)
        J.Add("line_use", std::min(1.0, Pace.LineUse), 3);
    else
        J.AddNull("line_use");
    if (Pace.Rate > 0)
        J.Add("rate", Pace.Rate, 1).Add("left", Pace.Left, 3);
    else
        J.AddNull("rate").AddNull("left");
    PrintJson(J.Str());
}

// ---------------------------------------------------------------- run

void TCliFrontEnd::Start()
{
    Guarded([&] {
        FSession.SetDeviceType(FExternalGPS ? dtExternalGPS : dtVeltrac);
        if (!FOptions.PortPath.empty()) {
            FSession.SetDevicePath(FOptions.PortPath);
            FSession.SetComNumber(NumberForPath(FOptions.PortPath));
        } else {
            FSession.SetComNumber(FOptions.PortNumber);
        }
        FPortText = PortText();
        // Named as they are at the start: a device that goes away has no path any more.
        FComNumber = FOptions.PortPath.empty() ? FOptions.PortNumber : ComNumberOfPath(FOptions.PortPath);
        FDevicePath = FOptions.PortPath.empty() ? ComPortDevicePath(FOptions.PortNumber) : FOptions.PortPath;
        FPortLabel = FComNumber > 0 ? "COM " + std::to_string(FComNumber) : FOptions.PortPath;
        if (FView != TCliView::Single)
            FPrefix = FPortLabel + ": ";
        if (!FDevicePath.empty())
            FAdapterSerial = DescribePortAdapter(FDevicePath).Serial;
        connect(&FSession, &TUpdateSession::DisplayChanged, this,
                [this] { Guarded([&] { OnDisplayChanged(); }); });
        connect(&FSession, &TUpdateSession::Finished, this,
                [this](const TUpdateOutcome& O) { Guarded([&] { OnOutcome(O); }); });

        if (const std::string Why = FFiles.Open(FOptions.LogFile, FOptions.RecordFile); !Why.empty()) {
            FUsageError = true;
            Refuse(TOutcomeKind::Failed, Why);
            return;
        }
        if (!FOptions.ImageFile.empty()) {
            // Bad input is refused before the device is woken.
            std::string Why;
            struct stat St {
            };
            std::FILE* F = std::fopen(FOptions.ImageFile.c_str(), "rb");
            if (!F)
                Why = std::strerror(errno);
            else if (fstat(fileno(F), &St) != 0 || !S_ISREG(St.st_mode))
                Why = "not a regular file";
            else if (St.st_size == 0)
                Why = "the file is empty";
            if (F)
                std::fclose(F);
            if (!Why.empty()) {
                Refuse(TOutcomeKind::BadImage, "cannot read the image " + FOptions.ImageFile + ": " + Why);
                return;
            }
        }

        FSession.OnShowError = [this](TUpdateSession*, const std::string& Message) {
            Guarded([&] { OnSessionError(Message); });
        };
        FSession.OnChooseFirmwareFile = [this](TUpdateSession*) { return FOptions.ImageFile; };
        if (FFiles.Logging())
            FSession.SetTrace(
                [this](TUpdateSession*, const std::string& Line) { Guarded([&] { FFiles.Log(Line); }); });
        if (!FOptions.ImageFile.empty())
            FSession.PlanCustomImage(FOptions.ImageFile);
        else if (FOptions.Recovery)
            FSession.PlanRecovery();
        FSession.SetConfirmTimeout(static_cast<int>(FOptions.ConfirmTimeoutSeconds * 1000));

        const std::string Device = FExternalGPS ? "an External GPS module" : "a Veltrac tracking unit";
        const std::string Mode = FOptions.Recovery             ? "recovery"
                                 : !FOptions.ImageFile.empty() ? "custom image " + FOptions.ImageFile
                                 : FOptions.Manual             ? "manual (automatic choice off)"
                                                               : "automatic";
        if (FOptions.Json) {
            TJsonObject O;
            O.Add("event", "start")
                .Add("caption", FSession.Display().Caption)
                .Add("device", DeviceOptionName(FOptions.Device))
                .Add("port", PortText())
                .Add("manual", !FSession.AutoUpdate())
                .Add("recovery", FOptions.Recovery);
            O.AddText("image", FOptions.ImageFile);
            if (FOptions.TimeoutSeconds > 0)
                O.Add("timeout", FOptions.TimeoutSeconds);
            else
                O.AddNull("timeout");
            O.Add("confirm_timeout", FOptions.ConfirmTimeoutSeconds);
            PrintJson(O.Str());
        } else {
            if (FView == TCliView::Single)
                PrintLine(FSession.Display().Caption);
            PrintLine("Opening " + PortText() + " for " + Device + "; update: " + Mode);
        }
        FFiles.Log("# " + FSession.Display().Caption + ": " + PortText() + ", " + Device + ", " + Mode);

        if (FOptions.TimeoutSeconds > 0)
            FTimeout.start(static_cast<int>(FOptions.TimeoutSeconds * 1000));
        try {
            FSession.Open();
        } catch (const std::exception& E) {
            // The session has ended the run; its outcome follows.
            PrintError(std::string("cannot open ") + PortText() + ": " + E.what());
            return;
        }
        OnDisplayChanged();
    });
}

// A run refused before the device is woken: the session states its outcome.
void TCliFrontEnd::Refuse(TOutcomeKind Kind, const std::string& Message)
{
    BeginFinishing(Kind);
    FSession.RefuseRun(Kind, Message);
    Complete();
}

void TCliFrontEnd::OnDisplayChanged()
{
    if (FFinishing)
        return;
    const TUpdateDisplay& D = FSession.Display();
    if (FOptions.Json) {
        const bool NewState = !FFirstDisplay && D.UpdateState != FLastDisplay.UpdateState;
        if (NewState) {
            // The display that led to the new state goes first.
            FlushJsonDisplay();
            PrintJson(StateJson(FLastDisplay.UpdateState, D.UpdateState, FExternalGPS));
        }
        JsonDisplay(D, FFirstDisplay || NewState);
        TRenderOutput None;
        ShowPace(None);
    } else if (FView == TCliView::Table) {
        // The table shows the steps and the progress.
        TRenderOutput None;
        ShowPace(None);
    } else {
        TRenderOutput Out = FRenderer.Update(D);
        // What the session does, in the window's words, once per step; the
        // run's end has its own last line.
        if (D.StatusStep != FLastStep && !D.StatusStep.empty() && !FOutcome)
            Out.Lines.push_back(D.StatusStep);
        FLastStep = D.StatusStep;
        ShowPace(Out);
        if (FTerminal) {
            // Each state's last progress stays on the screen above what follows.
            if (!FProgressWanted.empty() &&
                (Out.Progress.empty() || (!FFirstDisplay && D.UpdateState != FLastDisplay.UpdateState)))
                EndProgress();
            for (const std::string& L : Out.Lines)
                PrintLine(L);
            FProgressWanted = Out.Progress;
            DrawProgress(false);
        } else {
            for (const std::string& L : Out.Lines)
                PrintLine(L);
            if (!Out.Progress.empty())
                PrintLine(Out.Progress);
        }
    }
    if (D.UpdateState != FLastDisplay.UpdateState || FFirstDisplay)
        FFiles.Log("# state " + std::to_string(static_cast<int>(D.UpdateState)) + ": " +
                   StatePhrase(D.UpdateState, FExternalGPS));
    if (D.Confirming != FLastDisplay.Confirming && D.Confirming)
        FFiles.Log("# confirming the new version");
    FLastDisplay = D;
    FFirstDisplay = false;

    if (!FExternalGPS && FSession.ReceiverCannotReport() && !FHintShown &&
        D.UpdateState == TUpdateState::Idle && !D.vVersion.empty() && !FOptions.Recovery &&
        FOptions.ImageFile.empty()) {
        FHintShown = true;
        PrintLine("The receiver does not report its version; --recovery sends the tool's recovery image "
                  "(hardware 2e1), --image FILE a file of your choice");
    }
}

// The session ended the run (or was asked to): end the connection the way
// the next run expects, then report. From the event loop, once the display
// of the step that ended the run has been shown.
void TCliFrontEnd::JsonDisplay(const TUpdateDisplay& D, bool AtOnce)
{
    if (!AtOnce && D == FJsonShown)
        return;
    if (AtOnce || AtEdge(D.pSendProgress, FJsonShown.pSendProgress) ||
        AtEdge(D.pUpdateProgress, FJsonShown.pUpdateProgress) || !FJsonDisplayClock.isValid() ||
        FJsonDisplayClock.elapsed() >= JsonDisplayMs) {
        PrintJsonDisplay(D);
        return;
    }
    FJsonWaiting = true;
    if (!FJsonDisplayTimer.isActive())
        FJsonDisplayTimer.start(static_cast<int>(JsonDisplayMs - FJsonDisplayClock.elapsed()));
}

void TCliFrontEnd::PrintJsonDisplay(const TUpdateDisplay& D)
{
    PrintJson(DisplayJson(D));
    FJsonShown = D;
    FJsonWaiting = false;
    FJsonDisplayTimer.stop();
    FJsonDisplayClock.start();
}

void TCliFrontEnd::FlushJsonDisplay()
{
    // What waits is the last display the front end saw.
    if (FJsonWaiting && !(FLastDisplay == FJsonShown))
        PrintJsonDisplay(FLastDisplay);
    FJsonWaiting = false;
    FJsonDisplayTimer.stop();
}

void TCliFrontEnd::OnOutcome(const TUpdateOutcome& Outcome)
{
    FOutcome = Outcome;
    if (FFinishing || FOutcomeQueued)
        return;
    FOutcomeQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            Guarded([&] {
                if (FFinishing)
                    return;
                BeginFinishing(FOutcome->Kind);
                FSession.EndConnection(FOutcome->Kind, FOutcome->Message, [this] { Complete(); });
            });
        },
        Qt::QueuedConnection);
}

void TCliFrontEnd::BeginFinishing(TOutcomeKind Kind)
{
    FFinishing = true;
    FTimeout.stop();
    EndProgress();
    // The displays shown from here are not followed: what waited goes out now.
    FlushJsonDisplay();
    FFiles.Log("# closing: " + std::string(OutcomeName(Kind)));
}

// A time limit or a signal: ended politely, unless the receiver is being
// programmed, which is warned about once and waited for.
void TCliFrontEnd::Stop(TOutcomeKind Kind, const std::string& Message, const std::string& Why)
{
    if (FFinishing)
        return;
    if (FSession.ReceiverAtRisk() && !FWarned) {
        FWarned = true;
        const std::string Warning = "Warning: " + Why + ". " + SessionText::ProgrammingWarning +
                                    " Waiting for the device to confirm the new version (at most " +
                                    std::to_string(FSession.ConfirmTimeout() / 1000) +
                                    " s without progress); Ctrl-C again stops now.";
        PrintError(Warning);
        FFiles.Log("# " + Warning);
        return;
    }
    BeginFinishing(Kind);
    FSession.EndConnection(Kind, Message, [this] { Complete(); });
}

void TCliFrontEnd::Signal(int Last)
{
    if (FFinishing && !FDone) {
        // A second signal while the link closes: close the port at once.
        FSession.Close();
        Complete();
        return;
    }
    Stop(TOutcomeKind::Interrupted, "interrupted by " + SignalName(Last) + "; the link was closed",
         SignalName(Last) + " received");
}

void TCliFrontEnd::ApplicationException(const std::exception& E)
{
    Guarded([&] {
        PrintError(E.what());
        // The session ends its run on its own port errors; one it did not see
        // (the link's own reconnect) ends the run here.
        if (IsPortError(E) && !FFinishing) {
            const std::string Message = std::string("port error on ") + PortText() + ": " + E.what();
            QMetaObject::invokeMethod(
                this, [this, Message] { Guarded([&] { EndAfterError(TOutcomeKind::PortError, Message); }); },
                Qt::QueuedConnection);
        }
    });
}

void TCliFrontEnd::OnSessionError(const std::string& Message)
{
    PrintError(Message);
    if (FFinishing)
        return;
    // The session states the outcome of its errors itself; a message it
    // does not follow with one still ends the run.
    QMetaObject::invokeMethod(
        this, [this, Message] { Guarded([&] { EndAfterError(TOutcomeKind::Failed, Message); }); },
        Qt::QueuedConnection);
}

void TCliFrontEnd::EndAfterError(TOutcomeKind Kind, const std::string& Message)
{
    if (FFinishing)
        return;
    BeginFinishing(Kind);
    FSession.EndConnection(Kind, Message, [this] { Complete(); });
}

std::string TCliFrontEnd::ResultLine(const std::string& Name) const
{
    TResultFacts F;
    F.Name = Name;
    F.ExitCode = FExitCode;
    F.Current = FLastDisplay.vGPSCurrent;
    F.Required = FLastDisplay.vGPSNeeded;
    F.ToolVersion = QCoreApplication::applicationVersion().toStdString();
    F.PackageLabel = FSession.ArchiveLabel();
    F.PackageSha256 = FSession.PackageSha256();
    F.Station = FOptions.Station;
    F.DevicePath = FDevicePath;
    return ResultJson(*FOutcome, F);
}

void TCliFrontEnd::Complete()
{
    if (FDone)
        return;
    FDone = true;
    if (!FOutcome)
        FSession.RefuseRun(TOutcomeKind::Failed, "the run ended without a result");
    if (!FOutcome)
        FOutcome = FSession.Outcome();
    const TUpdateOutcome& O = *FOutcome;
    FExitCode = FUsageError ? UsageExitCode : ExitCodeOf(O.Kind);
    const std::string Name = FUsageError ? "usage" : OutcomeName(O.Kind);
    FFiles.Log("# result: " + Name + " (exit code " + std::to_string(FExitCode) + "): " + O.Message);
    const bool Record = FFiles.Record().IsOpen() && !FUsageError;
    // Made only when it goes somewhere: it hashes the whole firmware package.
    const std::string Result = Record || FOptions.Json ? ResultLine(Name) : std::string();
    std::string RecordError;
    if (Record && !FFiles.Record().Append(Result, RecordError))
        PrintError(RecordError);
    if (FOptions.Json) {
        PrintJson(Result);
    } else {
        const bool Good =
            !FUsageError && (O.Kind == TOutcomeKind::Updated || O.Kind == TOutcomeKind::UpToDate ||
                             O.Kind == TOutcomeKind::ManualFinished || O.Kind == TOutcomeKind::NotSupported);
        const std::string Summary = TransferSummary(O);
        if (!Summary.empty())
            PrintLine(Summary);
        PrintLine(OutcomeStatus(O) + " (" + Name + ", exit code " + std::to_string(FExitCode) + ")");
        // A script that keeps only stderr still learns why the run failed.
        if (!Good && !(isatty(STDOUT_FILENO) && isatty(STDERR_FILENO)))
            FConsole.Error(FPrefix + O.Message);
    }
    Detach();
    emit Finished(FExitCode);
}

TCliRow TCliFrontEnd::Row() const
{
    const TUpdateDisplay& D = FSession.Display();
    TCliRow R;
    R.Port = FPortLabel;
    R.Adapter = FAdapterSerial;
    R.DeviceID = D.vUnitID;
    if (FDone && FOutcome) {
        // The window forgets the device once its link ended; the outcome names it.
        if (!FOutcome->DeviceID.empty())
            R.DeviceID = FOutcome->DeviceID;
        R.Step = FOutcome->Message;
        R.Outcome = FUsageError ? "usage" : OutcomeName(FOutcome->Kind);
        return R;
    }
    R.Step = D.Status.empty() ? StatePhrase(D.UpdateState, FExternalGPS) : D.Status;
    if (ProgressState(D.UpdateState))
        R.Progress = D.vProgress;
    if (FLastPace && FLastPace->Rate > 0) {
        R.Rate = RateText(FLastPace->Rate);
        if (FLastPace->Left >= 0)
            R.Left = DurationText(FLastPace->Left);
    }
    return R;
}
