#pragma once
// The command-line front end of one port: binds its update session to the
// console (or to a script with --json). It opens the connection the way
// "Open" does, hands --image and --recovery to the session, renders every
// display the session shows, and ends when the session states the outcome,
// on --timeout or on a signal, always letting the session end the link
// first. Several ports run one front end each (see TCliFleet).
#include "app/UpdateSession.h"
#include "app/cli/CliConsole.h"
#include "app/cli/CliOptions.h"
#include "app/cli/CliOutcome.h"
#include "app/cli/CliRender.h"
#include "app/cli/CliRunFiles.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

// How a front end shows its run: alone (as the command line always did),
// as one of several with each line prefixed by its port, or as one row of
// the live table of several (only its lines about the start, errors and the
// end are printed; the table shows the rest).
enum class TCliView { Single, Prefixed, Table };

class TCliFrontEnd : public QObject
{
    Q_OBJECT

  public:
    // Options: with its own port (PortNumber or PortPath) and log file.
    TCliFrontEnd(const TCliOptions& Options, TUpdateSession& Session, TCliConsole& Console,
                 TCliView View = TCliView::Single, QObject* Parent = nullptr);
    ~TCliFrontEnd() override;

    // Opens the connection; the run goes on in the event loop until Finished.
    void Start();
    // SIGINT, SIGTERM, SIGHUP: the run ends politely, a receiver that
    // programs is warned about and waited for; the next signal goes on.
    void Signal(int Signal);
    // An exception of this port's session, its links or ports.
    void ApplicationException(const std::exception& E);

    bool Done() const { return FDone; }
    int ExitCode() const { return FExitCode; }
    const std::optional<TUpdateOutcome>& Outcome() const { return FOutcome; }
    const TUpdateSession& Session() const { return FSession; }
    // "COM 5" (the path for a port outside the port map), for prefixes and tables.
    const std::string& PortLabel() const { return FPortLabel; }
    bool ExternalGPS() const { return FExternalGPS; }
    TCliRow Row() const;

  signals:
    void Finished(int ExitCode);

  private:
    void OnDisplayChanged();
    void OnOutcome(const TUpdateOutcome& Outcome);
    void BeginFinishing(TOutcomeKind Kind);
    void Stop(TOutcomeKind Kind, const std::string& Message, const std::string& Why);
    void OnSessionError(const std::string& Message);
    void EndAfterError(TOutcomeKind Kind, const std::string& Message);
    void Refuse(TOutcomeKind Kind, const std::string& Message);
    void Complete();
    void Detach();

    std::string PortText() const;
    void PrintLine(const std::string& Line);
    void PrintError(const std::string& Line);
    void PrintJson(const std::string& Json);
    void DrawProgress(bool Force);
    void EndProgress();
    void ShowPace(TRenderOutput& Out);
    std::string ResultLine(const std::string& Name) const;
    // --json display events: at most one every JsonDisplayMs; the latest
    // display waits for its turn, unless it shows a new state or a bar at its
    // start or end, which go out at once.
    void JsonDisplay(const TUpdateDisplay& D, bool AtOnce);
    void PrintJsonDisplay(const TUpdateDisplay& D);
    void FlushJsonDisplay();

    TCliOptions FOptions;
    TUpdateSession& FSession;
    TCliConsole& FConsole;
    TCliView FView;
    bool FTerminal; // the progress line is redrawn in place
    bool FExternalGPS;
    TTextRenderer FRenderer;
    TUpdateDisplay FLastDisplay;
    bool FFirstDisplay = true;

    std::string FPortText;
    std::string FPortLabel;
    int FComNumber = 0; // 0: a path outside the port map
    std::string FDevicePath;
    std::string FPrefix; // "COM 5: " before each line of several ports
    std::string FAdapterSerial;
    TCliRunFiles FFiles;
    QTimer FTimeout;
    QTimer FProgressTimer;
    QElapsedTimer FProgressClock;
    std::string FProgressWanted;
    TPaceMeter FPace;
    std::optional<TPace> FLastPace; // of the transfer under way
    QElapsedTimer FJsonPaceClock;
    bool FJsonPaceEnded = false; // the transfer's last figures went out
    TUpdateDisplay FJsonShown;   // the last display event
    bool FJsonWaiting = false;   // a newer display waits for its turn
    QElapsedTimer FJsonDisplayClock;
    QTimer FJsonDisplayTimer;
    std::string FLastStep;

    bool FHintShown = false;
    bool FWarned = false;
    bool FFinishing = false;
    bool FOutcomeQueued = false;
    bool FDone = false;
    bool FDetached = false;
    bool FUsageError = false;
    std::optional<TUpdateOutcome> FOutcome;
    int FExitCode = 1;
};
