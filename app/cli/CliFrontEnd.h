#pragma once
// The command-line front end of one port: binds its update session to the
// console (or to a script with --json). It opens the connection the way
// "Open" does, hands --image and --recovery to the session, has every
// display the session shows rendered (TCliRunView), and ends when the
// session states the outcome, on --timeout or on a signal, always letting
// the session end the link first; its log is kept by TCliRunFiles, its
// record by the command's TCliRecords. Several ports run one front end each (see TCliFleet).
#include "app/UpdateSession.h"
#include "app/cli/CliConsole.h"
#include "app/cli/CliOptions.h"
#include "app/cli/CliOutcome.h"
#include "app/cli/CliRecords.h"
#include "app/cli/CliRender.h"
#include "app/cli/CliRunFiles.h"
#include "app/cli/CliRunView.h"

#include <QObject>
#include <QTimer>
#include <optional>
#include <string>

class TCliFrontEnd : public QObject
{
    Q_OBJECT

  public:
    // Options: with its own port (PortNumber or PortPath) and log file.
    // Records: where the run is recorded (the command's one writer), or null.
    TCliFrontEnd(const TCliOptions& Options, TUpdateSession& Session, TCliConsole& Console,
                 TCliRecords* Records = nullptr, TCliView View = TCliView::Single, QObject* Parent = nullptr);
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
    // The run's record was asked for and could not be kept.
    bool RecordLost() const { return FRecordLost; }
    const std::string& RunId() const { return FRunId; }
    const TUpdateSession& Session() const { return FSession; }
    // "COM 5" (the path for a port outside the port map), for prefixes and tables.
    const std::string& PortLabel() const { return FPort.Label; }
    bool ExternalGPS() const { return FExternalGPS; }
    TCliRow Row() const;

  signals:
    void Finished(int ExitCode);

  private:
    // The session's callbacks, and what the options ask of its run.
    void BindSession();
    void OnDisplayChanged();
    void OnOutcome(const TUpdateOutcome& Outcome);
    void BeginFinishing(TOutcomeKind Kind);
    void Stop(TOutcomeKind Kind, const std::string& Message, const std::string& Why);
    void OnSessionError(const std::string& Message);
    void EndAfterError(TOutcomeKind Kind, const std::string& Message);
    void Refuse(TOutcomeKind Kind, const std::string& Message);
    void Complete();
    // The end, once the record (if any) is safe or lost.
    void Report(const std::string& Name, bool Written, const std::string& RecordError);
    // The outcome's name, or "usage".
    std::string ResultName() const;
    std::string ResultLine(const std::string& Name, std::optional<bool> RecordWritten) const;
    void Detach();
    std::string PortText() const;

    TCliOptions FOptions;
    TUpdateSession& FSession;
    bool FExternalGPS;
    TCliRunPort FPort;
    TCliRunFiles FFiles;
    TCliRecords* FRecords;
    std::string FRunId;
    TCliRunView FRunView;
    QTimer FTimeout;

    bool FHintShown = false;
    bool FWarned = false;
    bool FFinishing = false;
    bool FOutcomeQueued = false;
    bool FCompleted = false; // the outcome is known; its record may still be on its way
    bool FDone = false;      // reported: the exit code is final
    bool FDetached = false;
    bool FUsageError = false;
    bool FRecordLost = false;
    std::optional<TUpdateOutcome> FOutcome;
    int FExitCode = 1;
};
