#pragma once
// The command-line front end: binds the update session to a terminal (or to
// a script with --json). It opens the connection the way "Open" does, renders
// every display the session shows, does what --image and --recovery ask when
// the technician's double-click would come, and ends the run when the display
// says the update is over, on --timeout, on a signal or on a port error,
// always closing the link first.
#include "app/cli/CliOptions.h"
#include "app/cli/CliOutcome.h"
#include "app/cli/CliRender.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <string>

class QSocketNotifier;

class TCliFrontEnd : public QObject
{
    Q_OBJECT

  public:
    // Terminal: stdout is a terminal, so the progress line is redrawn in place.
    TCliFrontEnd(const TCliOptions& Options, TUpdateSession& Session, bool Terminal,
                 QObject* Parent = nullptr);
    ~TCliFrontEnd() override;

    // SIGINT, SIGTERM and SIGHUP only write a byte to a pipe; the event loop
    // reads it. Call once, before the event loop runs; False with Error when
    // the pipe cannot be made.
    static bool InstallSignalHandlers(std::string* Error);

    // Opens the connection; the run goes on in the event loop until Finished.
    void Start();

    bool Done() const { return FDone; }
    int ExitCode() const { return FExitCode; }

  signals:
    void Finished(int ExitCode);

  private:
    void OnDisplayChanged();
    void ScheduleEvaluate();
    void Evaluate();
    template <typename F> bool Act(F&& Action);
    void OnSignal();
    void OnApplicationException(const std::exception& E);
    void OnSessionError(const std::string& Message);
    void Finish(TOutcome Outcome, const std::string& Message, bool UnitTurnedOff = false);
    void ReleaseLink();
    void CloseStep();
    void Complete();

    bool Connected() const;
    std::string PortText() const;
    void PrintLine(const std::string& Line);
    void PrintError(const std::string& Line);
    void PrintJson(const std::string& Json);
    void DrawProgress(bool Force);
    void EndProgress();
    void LogLine(const std::string& Text);

    TCliOptions FOptions;
    TUpdateSession& FSession;
    bool FTerminal;
    bool FExternalGPS;
    TRunHistory FHistory;
    TTextRenderer FRenderer;
    TUpdateDisplay FLastDisplay;
    bool FFirstDisplay = true;

    std::string FPortText;
    std::FILE* FLog = nullptr;
    // The session's own handler, called first by the one the front end puts in its place.
    TCX_RequestParameter FSessionParameterHandler;
    std::unique_ptr<QSocketNotifier> FSignalNotifier;
    QTimer FTimeout;
    QTimer FCloseTimer;
    QTimer FProgressTimer;
    QTimer FQuietTimer;
    QElapsedTimer FCloseClock;
    QElapsedTimer FLastAck; // since the unit's last acknowledgement
    enum { cpSettle, cpAwaitEnd } FClosePhase = cpAwaitEnd;
    QElapsedTimer FProgressClock;
    std::string FProgressWanted;
    std::string FProgressDrawn;

    bool FEvaluateQueued = false;
    bool FActionDone = false;
    bool FUnreadableReceiver = false;
    bool FHintShown = false;
    bool FFinishing = false;
    bool FDone = false;
    TOutcome FOutcome = TOutcome::Failed;
    std::string FMessage;
    int FExitCode = 1;
};
