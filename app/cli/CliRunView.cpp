#include "app/cli/CliRunView.h"

#include "app/SessionStatus.h"
#include "app/cli/CliGuard.h"
#include "app/cli/JsonOut.h"

#include <algorithm>
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

} // namespace

// ---------------------------------------------------------------- JSON displays

TJsonDisplayPacer::TJsonDisplayPacer(std::function<void(const TUpdateDisplay&)> Print)
    : FPrint(std::move(Print))
{
    FTimer.setSingleShot(true);
    QObject::connect(&FTimer, &QTimer::timeout, &FTimer, [this] { Guarded([&] { Flush(); }); });
}

void TJsonDisplayPacer::Show(const TUpdateDisplay& D, bool AtOnce)
{
    FLatest = D;
    if (!AtOnce && D == FShown)
        return;
    if (AtOnce || AtEdge(D.pSendProgress, FShown.pSendProgress) ||
        AtEdge(D.pUpdateProgress, FShown.pUpdateProgress) || !FClock.isValid() ||
        FClock.elapsed() >= JsonDisplayMs) {
        Print(D);
        return;
    }
    FWaiting = true;
    if (!FTimer.isActive())
        FTimer.start(static_cast<int>(JsonDisplayMs - FClock.elapsed()));
}

void TJsonDisplayPacer::Print(const TUpdateDisplay& D)
{
    FPrint(D);
    FShown = D;
    FWaiting = false;
    FTimer.stop();
    FClock.start();
}

void TJsonDisplayPacer::Flush()
{
    // What waits is the last display given.
    if (FWaiting && !(FLatest == FShown))
        Print(FLatest);
    FWaiting = false;
    FTimer.stop();
}

// ---------------------------------------------------------------- the run's view

TCliRunView::TCliRunView(const TCliOptions& Options, TCliConsole& Console, TCliView View, TCliRunFiles& Files)
    : FConsole(Console), FFiles(Files), FView(View), FJson(Options.Json),
      FTerminal(Console.Terminal() && View == TCliView::Single),
      FExternalGPS(Options.Device == TCliDevice::ExternalGPS), FRenderer(FExternalGPS, FTerminal),
      FJsonDisplays([this](const TUpdateDisplay& D) { PrintJson(DisplayJson(D)); })
{
    FProgressTimer.setSingleShot(true);
    QObject::connect(&FProgressTimer, &QTimer::timeout, &FProgressTimer,
                     [this] { Guarded([&] { DrawProgress(true); }); });
    FProgressClock.start();
}

void TCliRunView::SetPort(const TCliRunPort& Port)
{
    FPort = Port;
    if (FView != TCliView::Single)
        FPrefix = Port.Label + ": ";
}

void TCliRunView::PrintLine(const std::string& Line)
{
    FConsole.Line(FPrefix + Line);
}

void TCliRunView::PrintError(const std::string& Line)
{
    FConsole.Error(FPrefix + Line);
    FErrorsShown.push_back(Line);
    if (FJson)
        PrintJson(TJsonObject().Add("event", "error").Add("message", Line).Str());
    FFiles.Log("# error: " + Line);
}

void TCliRunView::PrintJson(const std::string& Json)
{
    FConsole.JsonLine(FView == TCliView::Single ? Json
                                                : JsonWithPort(Json, FPort.ComNumber, FPort.DevicePath));
}

void TCliRunView::ShowStart(const TCliOptions& Options, const std::string& Caption, bool Manual)
{
    const std::string Device = FExternalGPS ? "an External GPS module" : "a Veltrac tracking unit";
    const std::string Mode = Options.Recovery             ? "recovery"
                             : !Options.ImageFile.empty() ? "custom image " + Options.ImageFile
                             : Options.Manual             ? "manual (automatic choice off)"
                                                          : "automatic";
    if (FJson) {
        TJsonObject O;
        O.Add("event", "start")
            .Add("caption", Caption)
            .Add("device", DeviceOptionName(Options.Device))
            .Add("port", FPort.Text)
            .Add("manual", Manual)
            .Add("recovery", Options.Recovery);
        O.AddText("image", Options.ImageFile);
        if (Options.TimeoutSeconds > 0)
            O.Add("timeout", Options.TimeoutSeconds);
        else
            O.AddNull("timeout");
        O.Add("confirm_timeout", Options.ConfirmTimeoutSeconds);
        PrintJson(O.Str());
    } else {
        if (FView == TCliView::Single)
            PrintLine(Caption);
        PrintLine("Opening " + FPort.Text + " for " + Device + "; update: " + Mode);
    }
    FFiles.Log("# " + Caption + ": " + FPort.Text + ", " + Device + ", " + Mode);
}

void TCliRunView::Show(const TUpdateDisplay& D, const TTransferProgress& P, bool Ended)
{
    TRenderOutput None;
    if (FJson) {
        const bool NewState = !FFirstDisplay && D.UpdateState != FLastDisplay.UpdateState;
        if (NewState) {
            // The display that led to the new state goes first.
            FJsonDisplays.Flush();
            PrintJson(StateJson(FLastDisplay.UpdateState, D.UpdateState, FExternalGPS));
        }
        FJsonDisplays.Show(D, FFirstDisplay || NewState);
        ShowPace(P, None);
    } else if (FView == TCliView::Table) {
        // The table shows the steps and the progress.
        ShowPace(P, None);
    } else {
        ShowText(D, P, Ended);
    }
    if (D.UpdateState != FLastDisplay.UpdateState || FFirstDisplay)
        FFiles.Log("# state " + std::to_string(static_cast<int>(D.UpdateState)) + ": " +
                   StatePhrase(D.UpdateState, FExternalGPS));
    if (D.Confirming != FLastDisplay.Confirming && D.Confirming)
        FFiles.Log("# confirming the new version");
    FLastDisplay = D;
    FFirstDisplay = false;
}

void TCliRunView::ShowText(const TUpdateDisplay& D, const TTransferProgress& P, bool Ended)
{
    TRenderOutput Out = FRenderer.Update(D);
    // What the session does, in the window's words, once per step; the
    // run's end has its own last line.
    if (D.StatusStep != FLastStep && !D.StatusStep.empty() && !Ended)
        Out.Lines.push_back(D.StatusStep);
    FLastStep = D.StatusStep;
    ShowPace(P, Out);
    if (!Out.TransferDone.empty()) {
        if (FTerminal) {
            FProgressWanted = Out.TransferDone;
            EndProgress();
        } else {
            PrintLine(Out.TransferDone);
        }
    }
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

void TCliRunView::DrawProgress(bool Force)
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

void TCliRunView::EndProgress()
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
void TCliRunView::ShowPace(const TTransferProgress& P, TRenderOutput& Out)
{
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
    if (!FJson || (!P.Ended && FJsonPaceClock.isValid() && FJsonPaceClock.elapsed() < JsonPaceMs))
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

void TCliRunView::Finish()
{
    EndProgress();
    // The displays shown from here are not followed: what waited goes out now.
    FJsonDisplays.Flush();
}

void TCliRunView::ShowEnd(const TUpdateOutcome& O, const std::string& Name, int ExitCode, bool Good,
                          const std::string& Result)
{
    if (FJson) {
        PrintJson(Result);
    } else {
        const std::string Summary = TransferSummary(O);
        if (!Summary.empty())
            PrintLine(Summary);
        PrintLine(OutcomeStatus(O) + " (" + Name + ", exit code " + std::to_string(ExitCode) + ")");
    }
    // A script that keeps only stderr (or reads --json from stdout) still
    // learns why the run failed, once: not again if an error line said it.
    const bool Said = std::any_of(FErrorsShown.begin(), FErrorsShown.end(), [&](const std::string& E) {
        return E.find(O.Message) != std::string::npos;
    });
    if (!Good && !Said && (FJson || !(isatty(STDOUT_FILENO) && isatty(STDERR_FILENO))))
        FConsole.Error(FPrefix + O.Message);
}

TCliRow TCliRunView::Row(const TUpdateDisplay& D, const TUpdateOutcome* Ended,
                         const std::string& EndedName) const
{
    TCliRow R;
    R.Port = FPort.Label;
    R.Adapter = FPort.AdapterSerial;
    R.DeviceID = D.vUnitID;
    if (Ended) {
        // The window forgets the device once its link ended; the outcome names it.
        if (!Ended->DeviceID.empty())
            R.DeviceID = Ended->DeviceID;
        R.Step = Ended->Message;
        R.Outcome = EndedName;
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
