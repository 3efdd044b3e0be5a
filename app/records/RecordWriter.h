#pragma once
// The production-record writer: a thread of its own with a queue does all
// file and database work, so the main thread (on which the serial workers
// wait) never waits for a disk or a server. Everything it reports arrives on
// the thread that made the writer, through its event loop.
#include "app/records/RecordDestination.h"
#include "app/records/RunRow.h"

#include <QObject>
#include <QTimer>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct TRecordOptions {
    std::string SpoolPath; // PostgreSQL's spool; empty: DefaultSpoolPath()
    int BackoffFirstMs = 1000;
    int BackoffMaxMs = 30000;
    int ConnectTimeoutMs = 5000;
    int QueryTimeoutMs = 10000;
    int BusyTimeoutMs = 5000; // SQLite: how long another process may hold the file
    int StartCheckMs = 5000;
};

enum class TStartResult {
    Ok,
    Refused,    // login refused, a database or table not ours, a newer schema, a file that cannot be used
    Unreachable // the server did not answer: the spool keeps the records until it does
};

struct TStartCheck {
    TStartResult Result = TStartResult::Ok;
    std::string Message; // empty when Ok
};

struct TRecordStatus {
    int Waiting = 0;          // records in the spool not yet at the server
    std::string ForwardError; // the last forwarding error; empty once a record went through
    bool LoginRefused = false;
    bool operator==(const TRecordStatus&) const = default;
};

class TRecordWorker;

class TRecordWriter : public QObject
{
    Q_OBJECT
  public:
    explicit TRecordWriter(QObject* Parent = nullptr);
    // Stores what is still queued (into the spool with PostgreSQL, where
    // nothing waits long), then ends the thread; a forwarding in progress is
    // cut short at once. Call Drain first to report what is left.
    ~TRecordWriter() override;

    // Opens the destination on the writer thread: with PostgreSQL the spool,
    // the server and its schema; the check is called back within
    // Options.StartCheckMs (no answer by then: Unreachable). Call once.
    void Start(const TRecordDestination& Destination, const TRecordOptions& Options,
               std::function<void(const TStartCheck&)> Checked);
    // The start row: SQLite and PostgreSQL keep it; a JSON Lines file only gets the end.
    void Begin(const TRunStart& Start);
    // The end of a run: its result line, as --json prints it.
    void End(const std::string& ResultLine);
    // Done(waiting) once the queue and the spool are empty, or after
    // Milliseconds with the number of records still waiting.
    void Drain(int Milliseconds, std::function<void(int Waiting)> Done);

    const TRecordStatus& Status() const { return FStatus; }
    const TRecordDestination& Destination() const { return FDestination; }

  signals:
    // The record is safe: at the destination, or in the spool for PostgreSQL.
    void RecordStored(const std::string& RunId, bool End);
    // The record is lost (not even the spool took it): Message says why.
    void RecordFailed(const std::string& RunId, bool End, const std::string& Message);
    void StatusChanged(const TRecordStatus& Status);

  private:
    friend class TRecordWorker;
    struct TJob {
        TRunRow Row;
        std::string Line; // the end's result line; empty for a start
        bool End = false;
    };
    struct TDrain {
        QTimer* Timer;
        std::function<void(int)> Done;
    };
    void Enqueue(TJob Job);
    // Runs Report on this object's thread, from its event loop; callable from either thread.
    void Post(std::function<void()> Report);
    bool event(QEvent* E) override;
    // Reports of the worker: the destination is open (or not), a job is
    // done, with the status after it.
    void Opened(const TStartCheck& Check, const TRecordStatus& Status);
    void Checked(const TStartCheck& Check);
    void JobDone(const TRecordStatus& Status);
    void SetStatus(const TRecordStatus& Status);
    void CheckDrains();

    TRecordDestination FDestination;
    std::function<void(const TStartCheck&)> FOnChecked;
    QTimer FCheckTimer;
    bool FOpened = false; // the worker has opened the destination (or found it cannot)
    int FPending = 0;     // jobs handed to the worker and not reported back
    TRecordStatus FStatus;
    std::vector<TDrain> FDrains;

    // Shared with the worker thread.
    std::mutex FMutex;
    std::condition_variable FWake;
    std::deque<TJob> FJobs;
    bool FStop = false;
    bool FPoke = false; // forward now, whatever the back-off says
    // Reports for this object's thread, handed over under the lock; one
    // event at a time asks for them.
    std::vector<std::function<void()>> FReports;
    int FStopFd = -1; // an eventfd that ends the worker's server waits

    std::unique_ptr<TRecordWorker> FWorker;
    std::thread FThread;
};
