#include "app/records/RecordWriter.h"

#include "app/records/PgConnection.h"
#include "app/records/RecordSchema.h"
#include "app/records/RecordSpool.h"
#include "app/records/SqliteConnection.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

// The writer thread's side: the destination's file or connections, the spool
// and the forwarding with its back-off. Only Run's thread touches it.
class TRecordWorker
{
  public:
    TRecordWorker(TRecordWriter& Writer, const TRecordDestination& D, const TRecordOptions& O)
        : FWriter(Writer), FD(D), FO(O), FBackoffMs(O.BackoffFirstMs)
    {
        if (FO.SpoolPath.empty())
            FO.SpoolPath = DefaultSpoolPath();
    }
    ~TRecordWorker()
    {
        if (FFile >= 0)
            ::close(FFile);
    }
    void Run();

  private:
    using TClock = std::chrono::steady_clock;
    TStartCheck Open();
    void OpenStore();
    void Connect();
    void Store(const TRecordWriter::TJob& Job);
    void Handle(const TRecordWriter::TJob& Job, bool Report);
    void Forward();
    bool JobsWaiting();

    TRecordWriter& FWriter;
    TRecordDestination FD;
    TRecordOptions FO;
    int FFile = -1;                         // JSON Lines
    std::unique_ptr<TSqliteConnection> FDb; // SQLite
    std::unique_ptr<TRecordSpool> FSpool;   // PostgreSQL: the spool and the server
    std::unique_ptr<TPgConnection> FPg;
    TRecordStatus FStatus;
    TClock::time_point FNextAttempt{};
    int FBackoffMs;
};

namespace
{

std::string SqliteName(const TRecordDestination& D)
{
    return "the records database " + D.Display();
}

} // namespace

// Opens whatever the destination's records need and is not open yet. Throws TRecordError.
void TRecordWorker::OpenStore()
{
    switch (FD.Kind) {
    case TRecordKind::JsonLines:
        if (FFile < 0) {
            FFile = ::open(FD.Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (FFile < 0)
                throw TRecordError(TRecordFault::Refused,
                                   "cannot write the record file " + FD.Path + ": " + std::strerror(errno));
        }
        break;
    case TRecordKind::Sqlite:
        if (!FDb) {
            auto Db = std::make_unique<TSqliteConnection>(FD.Path, SqliteName(FD), FO.BusyTimeoutMs);
            EnsureRecordSchema(*Db, SqliteName(FD));
            FDb = std::move(Db);
        }
        break;
    case TRecordKind::Postgres:
        if (!FSpool) {
            FSpool = std::make_unique<TRecordSpool>(FO.SpoolPath, FD.Display(), FO.BusyTimeoutMs);
            FStatus.Waiting = FSpool->Count();
        }
        break;
    }
}

void TRecordWorker::Connect()
{
    FPg.reset();
    auto Pg = std::make_unique<TPgConnection>(FD, TPgLimits{FO.ConnectTimeoutMs, FO.QueryTimeoutMs},
                                              FWriter.FStopFd);
    EnsureRecordSchema(*Pg, "the records database " + FD.Display());
    FPg = std::move(Pg);
}

TStartCheck TRecordWorker::Open()
{
    try {
        OpenStore();
    } catch (const TRecordError& E) {
        return {E.Fault == TRecordFault::Unreachable ? TStartResult::Unreachable : TStartResult::Refused,
                E.what()};
    }
    if (FD.Kind != TRecordKind::Postgres)
        return {};
    try {
        Connect();
        return {};
    } catch (const TRecordError& E) {
        FStatus.ForwardError = E.what();
        FStatus.LoginRefused = E.Fault == TRecordFault::LoginRefused;
        FNextAttempt = TClock::now() + std::chrono::milliseconds(FBackoffMs);
        if (E.Fault == TRecordFault::Unreachable || E.Fault == TRecordFault::Failed)
            return {TStartResult::Unreachable,
                    std::string(E.what()) + "; the records wait in the spool " + FO.SpoolPath};
        return {TStartResult::Refused, E.what()};
    }
}

void TRecordWorker::Store(const TRecordWriter::TJob& Job)
{
    OpenStore();
    switch (FD.Kind) {
    case TRecordKind::JsonLines: {
        // One write of the whole line on an O_APPEND descriptor: processes
        // sharing the file never tear each other's lines. A short write is
        // not tried again: the rest would land after someone else's line.
        const std::string Line = Job.Line + "\n";
        const ssize_t Written = ::write(FFile, Line.data(), Line.size());
        if (Written != static_cast<ssize_t>(Line.size()))
            throw TRecordError(TRecordFault::Failed,
                               "the record could not be written to " + FD.Path + ": " +
                                   (Written < 0 ? std::strerror(errno) : "the disk took only part of it"));
        break;
    }
    case TRecordKind::Sqlite:
        UpsertRun(*FDb, Job.Row, Job.End);
        break;
    case TRecordKind::Postgres:
        FSpool->Add(Job.Row, Job.End);
        FStatus.Waiting = FSpool->Count();
        break;
    }
}

void TRecordWorker::Handle(const TRecordWriter::TJob& Job, bool Report)
{
    std::string Error;
    // A JSON Lines file only has the end of a run.
    const bool Written = Job.End || FD.Kind != TRecordKind::JsonLines;
    if (Written) {
        try {
            Store(Job);
        } catch (const TRecordError& E) {
            Error = E.what();
        }
    }
    if (!Report)
        return;
    FWriter.Post([W = &FWriter, RunId = Job.Row.RunId, End = Job.End, Written, Error, Status = FStatus] {
        W->JobDone(Status);
        if (!Error.empty())
            emit W->RecordFailed(RunId, End, Error);
        else if (Written)
            emit W->RecordStored(RunId, End);
    });
}

bool TRecordWorker::JobsWaiting()
{
    std::lock_guard Lock(FWriter.FMutex);
    return !FWriter.FJobs.empty() || FWriter.FStop;
}

// Forwards the spool's oldest records, a few at a time so that new records
// reach the spool between them; a failure waits out the back-off.
void TRecordWorker::Forward()
{
    const TRecordStatus Before = FStatus;
    try {
        if (!FSpool)
            OpenStore();
        if (!FPg || !FPg->Usable())
            Connect();
        for (int i = 0; i < 32 && !JobsWaiting(); ++i) {
            const auto E = FSpool->Next();
            if (!E)
                break;
            UpsertRun(*FPg, E->Row, E->End);
            FSpool->Remove(E->Seq);
        }
        FStatus.Waiting = FSpool->Count();
        FStatus.ForwardError.clear();
        FStatus.LoginRefused = false;
        FBackoffMs = FO.BackoffFirstMs;
        FNextAttempt = TClock::now();
    } catch (const TRecordError& E) {
        FPg.reset();
        FStatus.ForwardError = E.what();
        FStatus.LoginRefused = E.Fault == TRecordFault::LoginRefused;
        FNextAttempt = TClock::now() + std::chrono::milliseconds(FBackoffMs);
        FBackoffMs = std::min(2 * FBackoffMs, FO.BackoffMaxMs);
    }
    if (FStatus != Before)
        FWriter.Post([W = &FWriter, Status = FStatus] { W->SetStatus(Status); });
}

void TRecordWorker::Run()
{
    const TStartCheck Check = Open();
    FWriter.Post([W = &FWriter, Check, Status = FStatus] { W->Opened(Check, Status); });
    std::unique_lock Lock(FWriter.FMutex);
    for (;;) {
        if (!FWriter.FJobs.empty()) {
            const TRecordWriter::TJob Job = std::move(FWriter.FJobs.front());
            FWriter.FJobs.pop_front();
            // Once the writer is being destroyed nobody is left to tell.
            const bool Report = !FWriter.FStop;
            Lock.unlock();
            Handle(Job, Report);
            Lock.lock();
            continue;
        }
        if (FWriter.FStop)
            break;
        if (std::exchange(FWriter.FPoke, false))
            FNextAttempt = TClock::now();
        if (FStatus.Waiting > 0 && TClock::now() >= FNextAttempt) {
            Lock.unlock();
            Forward();
            Lock.lock();
        } else if (FStatus.Waiting > 0) {
            FWriter.FWake.wait_until(Lock, FNextAttempt);
        } else {
            FWriter.FWake.wait(Lock);
        }
    }
}

TRecordWriter::TRecordWriter(QObject* Parent) : QObject(Parent)
{
    FCheckTimer.setSingleShot(true);
    connect(&FCheckTimer, &QTimer::timeout, this, [this] {
        Checked({TStartResult::Unreachable,
                 "the records destination " + FDestination.Display() + " gave no answer within " +
                     std::to_string(FCheckTimer.interval() / 1000) + " s; the records wait until it does"});
    });
}

TRecordWriter::~TRecordWriter()
{
    if (FThread.joinable()) {
        {
            std::lock_guard Lock(FMutex);
            FStop = true;
        }
        FWake.notify_one();
        const uint64_t One = 1;
        [[maybe_unused]] const ssize_t Ignored = ::write(FStopFd, &One, sizeof One);
        FThread.join();
    }
    if (FStopFd >= 0)
        ::close(FStopFd);
}

void TRecordWriter::Start(const TRecordDestination& Destination, const TRecordOptions& Options,
                          std::function<void(const TStartCheck&)> Checked)
{
    FDestination = Destination;
    FOnChecked = std::move(Checked);
    FStopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    FWorker = std::make_unique<TRecordWorker>(*this, Destination, Options);
    FThread = std::thread([this] { FWorker->Run(); });
    FCheckTimer.start(Options.StartCheckMs);
}

void TRecordWriter::Begin(const TRunStart& Start)
{
    Enqueue({RunRowFromStart(Start), {}, false});
}

void TRecordWriter::End(const std::string& ResultLine)
{
    std::optional<TRunRow> Row = RunRowFromResult(ResultLine);
    if (!Row) {
        Post([this] {
            emit RecordFailed({}, true, "the result line is not a JSON object: nothing was recorded");
        });
        return;
    }
    std::string Line = ResultLine;
    while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r'))
        Line.pop_back();
    Enqueue({std::move(*Row), std::move(Line), true});
}

void TRecordWriter::Enqueue(TJob Job)
{
    if (!FWorker) {
        Post([this, RunId = Job.Row.RunId, End = Job.End] {
            emit RecordFailed(RunId, End, "the record writer was not started");
        });
        return;
    }
    ++FPending;
    {
        std::lock_guard Lock(FMutex);
        FJobs.push_back(std::move(Job));
    }
    FWake.notify_one();
}

namespace
{

const QEvent::Type ReportsEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

} // namespace

// The reports travel under the writer's own lock rather than inside Qt's
// posted functors: what the worker made is handed over with a happens-before
// that the thread sanitizer (and the reader) can see.
void TRecordWriter::Post(std::function<void()> Report)
{
    std::lock_guard Lock(FMutex);
    FReports.push_back(std::move(Report));
    if (FReports.size() == 1)
        QCoreApplication::postEvent(this, new QEvent(ReportsEvent));
}

bool TRecordWriter::event(QEvent* E)
{
    bool Ours = false;
    {
        // The worker made the event under the lock: it is read under the lock
        // too, so that the hand-over is one that every checker can see.
        std::lock_guard Lock(FMutex);
        Ours = E->type() == ReportsEvent;
    }
    if (!Ours)
        return QObject::event(E);
    std::vector<std::function<void()>> Reports;
    {
        std::lock_guard Lock(FMutex);
        Reports.swap(FReports);
    }
    // A callback may delete the writer: the reports after it have nobody to tell.
    const QPointer<TRecordWriter> Self(this);
    for (const auto& Report : Reports)
        if (Self)
            Report();
    return true;
}

void TRecordWriter::Checked(const TStartCheck& Check)
{
    FCheckTimer.stop();
    if (auto F = std::exchange(FOnChecked, nullptr))
        F(Check);
}

void TRecordWriter::Opened(const TStartCheck& Check, const TRecordStatus& Status)
{
    FOpened = true;
    Checked(Check);
    SetStatus(Status);
    CheckDrains();
}

void TRecordWriter::JobDone(const TRecordStatus& Status)
{
    --FPending;
    SetStatus(Status);
    CheckDrains();
}

void TRecordWriter::SetStatus(const TRecordStatus& Status)
{
    if (Status != FStatus) {
        FStatus = Status;
        emit StatusChanged(FStatus);
    }
    CheckDrains();
}

void TRecordWriter::CheckDrains()
{
    if (FDrains.empty() || !FOpened || FPending > 0 || FStatus.Waiting > 0)
        return;
    for (TDrain& D : std::exchange(FDrains, {})) {
        D.Timer->stop();
        D.Timer->deleteLater();
        D.Done(0);
    }
}

void TRecordWriter::Drain(int Milliseconds, std::function<void(int Waiting)> Done)
{
    auto* Timer = new QTimer(this);
    Timer->setSingleShot(true);
    connect(Timer, &QTimer::timeout, this, [this, Timer] {
        const auto It =
            std::find_if(FDrains.begin(), FDrains.end(), [&](const TDrain& D) { return D.Timer == Timer; });
        Timer->deleteLater();
        if (It == FDrains.end())
            return;
        auto Done = std::move(It->Done);
        FDrains.erase(It);
        Done(FPending + FStatus.Waiting);
    });
    FDrains.push_back({Timer, std::move(Done)});
    Timer->start(Milliseconds);
    {
        std::lock_guard Lock(FMutex);
        FPoke = true;
    }
    FWake.notify_one();
    Post([this] { CheckDrains(); });
}
