#pragma once
// The production records of one command: every run of it (one port,
// several, a station's) records through the one writer made here, at the
// destination --record names. The writer's thread does the work; this side
// only hands records over and is told, on the event loop, what became of them.
#include "app/records/RecordWriter.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <map>
#include <string>

class TCliRecords : public QObject
{
    Q_OBJECT

  public:
    TCliRecords(const TRecordDestination& Destination, const TRecordOptions& Options, QObject* Parent = nullptr);

    // Opens the destination and waits on the event loop (never blocked: the
    // writer's thread does the work) for its check, at most the options'
    // StartCheckMs. Call once, before any device is touched.
    TStartCheck Check();
    // The start row of a run (SQLite and PostgreSQL keep it).
    void Begin(const TRunStart& Start);
    // The end of the run: Done(true) once the record is safe, Done(false, why)
    // when it is lost; called from the event loop, never from here.
    void End(const std::string& RunId, const std::string& ResultLine,
             std::function<void(bool Written, const std::string& Error)> Done);
    // Waits on the event loop until every record reached its destination,
    // at most Milliseconds: the number still waiting (in the spool).
    int Drain(int Milliseconds);

    const TRecordDestination& Destination() const { return FStartDestination; }
    const TRecordStatus& Status() const { return FWriter.Status(); }
    // "records: 3 wait for postgresql://…: <why>", empty while nothing waits
    // and forwarding goes well.
    std::string StatusText() const;
    // The spool a PostgreSQL destination's records wait in.
    const std::string& SpoolPath() const { return FSpoolPath; }

  signals:
    void StatusChanged();

  private:
    void Settle(const std::string& RunId, bool Written, const std::string& Error);

    TRecordWriter FWriter;
    TRecordDestination FStartDestination;
    TRecordOptions FOptions;
    std::string FSpoolPath;
    struct TPendingEnd {
        std::function<void(bool, const std::string&)> Done;
        QTimer* Timer;
    };
    std::map<std::string, TPendingEnd> FEnds; // by run id
};

// How long a run waits to hear that its record is safe before it counts as lost.
constexpr int RecordAnswerMs = 20000;
// How long a command waits at its end for records still on their way.
constexpr int RecordDrainMs = 10000;

// {"event":"records","destination","waiting","error","login_refused"}: what
// waits for the destination, for --json.
std::string RecordsStatusJson(const TCliRecords& R);
// The status text, or "records: every record is at DESTINATION" once nothing waits.
std::string RecordsStatusLine(const TCliRecords& R);
