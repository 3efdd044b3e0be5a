#pragma once
// The command line's runs: one update session and front end for each
// --port, all at once in one process. The sessions share the firmware
// package; each has its own port, link, timers and outcome, and what goes
// wrong on one port (an error, an exception, a device pulled out) ends
// that port's run alone. One port is shown as the command line always
// showed it; several as a live table on a terminal, lines prefixed by their
// port otherwise, and a summary at the end.
#include "app/SignalWatcher.h"
#include "app/UpdateSession.h"
#include "app/cli/CliCommand.h"
#include "app/cli/CliConsole.h"
#include "app/cli/CliFrontEnd.h"
#include "app/cli/CliOptions.h"

#include <QObject>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

class TCliFleet : public TCliCommand
{
    Q_OBJECT

  public:
    // Terminal: stdout is a terminal. SessionArguments: the window's switches
    // each session is made with.
    // Records: the command's record writer, or null.
    TCliFleet(const TCliOptions& Options, bool Terminal, const TFirmwareStore& Store,
              const std::vector<std::string>& SessionArguments, TCliRecords* Records = nullptr,
              QObject* Parent = nullptr);
    ~TCliFleet() override;

    // Starts every port's run; Finished follows when the last one ended.
    void Start() override;

  private:
    // The front end goes before its session (members end in reverse order).
    struct TPortRun {
        std::unique_ptr<TUpdateSession> Session;
        std::unique_ptr<TCliFrontEnd> FrontEnd;
    };

    bool CheckOutputFiles();
    void OnException(const std::exception& E);
    void OnRunFinished();
    void DrawTable();
    // The exit code of the command.
    int Summarize();

    TCliOptions FOptions;
    TCliConsole FConsole;
    TCliView FView;
    std::vector<TCliPort> FPorts;
    std::vector<TPortRun> FRuns;
    TSignalWatcher FSignals;
    QTimer FTableTimer;
};

// The ports of the command line, each device once: a port named by number
// and by path counts once. Empty paths (numbers without a device) are kept.
std::vector<TCliPort> DistinctPorts(const std::vector<TCliPort>& Ports);
// Whether Files (what, path) can be written; the first that cannot is
// reported on Console. Nothing is written to them.
bool CheckOutputFiles(TCliConsole& Console, const std::vector<std::pair<std::string, std::string>>& Files);
// The summary that ends several runs: one line a run, the count of each
// outcome (a "summary" event with --json), and the exit code it returns: 0
// when every run ended updated or up to date, else 10; 12 over that when a
// record could not be written, and 130 over both when CutShort (a signal cut
// a run short). NameDevices: the runs left behind are named with their
// devices as well as their ports.
int SummarizeRuns(TCliConsole& Console, bool Json, const std::vector<const TCliFrontEnd*>& Runs,
                  bool CutShort, bool NameDevices);
// The exit code of several runs (see SummarizeRuns).
int SeveralRunsExitCode(bool AllGood, int RecordsLost, bool CutShort);
// The run ended "updated" or "up to date" (what the exit code 0 of several runs asks).
bool UpdatedOrUpToDate(const TCliFrontEnd& Run);
// "unit 123456", "module 00C0FFEE"; "module" alone for a module known only by its loader.
std::string DeviceName(bool Module, const std::string& ID);
std::string DeviceName(const TCliFrontEnd& Run);
// The log file of one of several ports: FILE.com5, or FILE.ttyUSB3 for a
// path outside the port map.
std::string PortLogFile(const std::string& LogFile, const TCliPort& Port);
