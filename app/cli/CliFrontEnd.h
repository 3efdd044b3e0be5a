#pragma once
// The command-line front end: binds the update session to a terminal (or to
// a script with --json). It opens the connection the way "Open" does, hands
// --image and --recovery to the session, renders every display the session
// shows, and ends when the session states the outcome, on --timeout or on a
// signal, always letting the session end the link first.
#include "app/SignalWatcher.h"
#include "app/UpdateSession.h"
#include "app/cli/CliOptions.h"
#include "app/cli/CliOutcome.h"
#include "app/cli/CliRender.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

class TCliFrontEnd : public QObject
{
    Q_OBJECT

  public:
    // Terminal: stdout is a terminal, so the progress line is redrawn in place.
    TCliFrontEnd(const TCliOptions& Options, TUpdateSession& Session, bool Terminal,
                 QObject* Parent = nullptr);
    ~TCliFrontEnd() override;

    // Opens the connection; the run goes on in the event loop until Finished.
    void Start();

    bool Done() const { return FDone; }
    int ExitCode() const { return FExitCode; }

  signals:
    void Finished(int ExitCode);

  private:
    void OnDisplayChanged();
    void OnOutcome(const TUpdateOutcome& Outcome);
    void BeginFinishing(TOutcomeKind Kind);
    void Stop(TOutcomeKind Kind, const std::string& Message, const std::string& Why);
    void OnSignal(int Signal);
    void OnApplicationException(const std::exception& E);
    void OnSessionError(const std::string& Message);
    void EndAfterError(TOutcomeKind Kind, const std::string& Message);
    void Refuse(TOutcomeKind Kind, const std::string& Message);
    void Complete();

    std::string PortText() const;
    void PrintLine(const std::string& Line);
    void PrintError(const std::string& Line);
    void PrintJson(const std::string& Json);
    void DrawProgress(bool Force);
    void EndProgress();
    void LogLine(const std::string& Text);
    void ShowPace(TRenderOutput& Out);
    std::string ResultJson(const TUpdateOutcome& O, const std::string& Name) const;
    void AppendRecord(const std::string& Result);
    // --json display events: at most one every JsonDisplayMs; the latest
    // display waits for its turn, unless it shows a new state or a bar at its
    // start or end, which go out at once.
    void JsonDisplay(const TUpdateDisplay& D, bool AtOnce);
    void PrintJsonDisplay(const TUpdateDisplay& D);
    void FlushJsonDisplay();

    TCliOptions FOptions;
    TUpdateSession& FSession;
    bool FTerminal;
    bool FExternalGPS;
    TTextRenderer FRenderer;
    TUpdateDisplay FLastDisplay;
    bool FFirstDisplay = true;

    std::string FPortText;
    std::FILE* FLog = nullptr;
    int FRecord = -1;           // --record, opened for appending
    TSignalWatcher FSignals;
    QTimer FTimeout;
    QTimer FProgressTimer;
    QElapsedTimer FProgressClock;
    std::string FProgressWanted;
    std::string FProgressDrawn;
    TPaceMeter FPace;
    QElapsedTimer FJsonPaceClock;
    bool FJsonPaceEnded = false; // the transfer's last figures went out
    TUpdateDisplay FJsonShown;  // the last display event
    bool FJsonWaiting = false;  // a newer display waits for its turn
    QElapsedTimer FJsonDisplayClock;
    QTimer FJsonDisplayTimer;
    std::string FLastStep;

    bool FHintShown = false;
    bool FWarned = false;
    bool FFinishing = false;
    bool FOutcomeQueued = false;
    bool FDone = false;
    bool FUsageError = false;
    std::optional<TUpdateOutcome> FOutcome;
    int FExitCode = 1;
};
