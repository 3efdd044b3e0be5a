#pragma once
// The record store's tests: a writer whose reports are collected, result
// lines as the command line writes them, the records-probe program, and a
// private PostgreSQL server.
#include "app/records/RecordWriter.h"

#include <optional>
#include <string>
#include <vector>

// Short limits, so that a server that is away costs the tests little time.
TRecordOptions QuickOptions(const std::string& SpoolPath = {});

// A result line of a run, as the command line writes it.
std::string ResultLine(const std::string& RunId, const std::string& Station, const std::string& Outcome,
                       const std::string& DeviceId = "1001", const std::string& ReceiverAfter = "AXN_5.1.9",
                       const std::string& Message = {});

// A writer started on a destination, with everything it reports kept.
struct TWriterProbe {
    explicit TWriterProbe(const std::string& Destination, const TRecordOptions& Options = QuickOptions());
    // Waits (the event loop running) for the start check.
    const TStartCheck& Checked();
    // Begin and end of one run of Outcome; its run id.
    std::string Run(const std::string& Station, const std::string& Outcome = "updated");
    // The drain's answer (records waiting), or nullopt when it never came.
    std::optional<int> Drain(int Milliseconds);
    // Waits until Count reports of stored or failed records arrived.
    bool WaitReports(std::size_t Count, int Milliseconds = 20000);

    TRecordWriter Writer;
    std::optional<TStartCheck> Check;
    std::vector<std::string> Stored; // "<run id> begin" / "<run id> end"
    std::vector<std::string> Failed; // messages
    std::vector<TRecordStatus> Statuses;
};

struct TProbeResult {
    int ExitCode = -1;
    std::string Err;
};
// Runs records-probe with Args; waits for it.
TProbeResult RunProbe(const std::vector<std::string>& Args);
// Starts records-probe; its pid (its stderr into ErrFile).
int StartProbe(const std::vector<std::string>& Args, const std::string& ErrFile);
TProbeResult WaitProbe(int Pid, const std::string& ErrFile);

// A PostgreSQL server of the tests' own: initdb in a temporary folder (as
// the user postgres when the tests run as root), 127.0.0.1 on a free port,
// a socket folder; the user "veltrac" with password "secret" over TCP.
class TPgServer
{
  public:
    TPgServer();
    ~TPgServer();
    const std::string& Error() const { return FError; } // empty when it runs
    // A fresh database: its name.
    std::string CreateDatabase();
    std::string Uri(const std::string& Database, const std::string& Password = "secret") const;
    // psql -At: the rows as lines, columns joined by '|'.
    std::string Sql(const std::string& Database, const std::string& Statement);
    bool Stop();
    bool Start();
    void Kill();   // SIGKILL to every server process, as in a crash
    void Pause();  // SIGSTOP to every server process: it still acknowledges packets
    void Resume(); // SIGCONT
    // Running and answering again, whatever a test left it in.
    bool Restore();

  private:
    std::vector<int> Processes() const;
    std::vector<std::string> AsServerUser(const std::vector<std::string>& Command) const;
    std::string FBin, FBase, FData, FSocket;
    int FPort = 0;
    int FDatabases = 0;
    std::string FError;
};

// A command's exit code (-1: it could not run) and its output.
int RunCommand(const std::vector<std::string>& Command, std::string* Output = nullptr);
