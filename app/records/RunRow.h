#pragma once
// One row of table runs: written when a run starts (outcome "running") and
// completed from the command line's result line when it ends.
#include <QDateTime>
#include <optional>
#include <string>
#include <vector>

// A column value as text; nullopt is NULL.
using TSqlValue = std::optional<std::string>;

struct TRunRow {
    // Times are UTC, ISO 8601 with milliseconds ("2024-05-01T10:00:00.123Z");
    // the exit code is its number as text. An empty text is stored as NULL.
    std::string RunId, Station, Slot, StartedAt, EndedAt, Outcome, ExitCode;
    std::string Device, DeviceId, Model, Hardware;
    std::string ReceiverBefore, ReceiverRequired, ReceiverAfter, FirmwareBefore, FirmwareAfter;
    std::string PackageLabel, PackageSha256, ToolVersion, AdapterSerial, Port, Message;
    std::string Result; // the whole result line (JSON); empty for a start row

    // One value per name of RunColumns(), in that order.
    std::vector<TSqlValue> Values() const;
    static TRunRow FromValues(const std::vector<TSqlValue>& Values);
};

// The columns of table runs in schema order.
const std::vector<std::string>& RunColumns();

// What the caller knows when a run starts.
struct TRunStart {
    std::string RunId;
    std::string Station, Slot;
    QDateTime StartedAt; // invalid: now
    std::string Device;  // veltrac or egps
    std::string Port;    // "COM 3" or a device path
    std::string ToolVersion, PackageLabel, PackageSha256;
};

TRunRow RunRowFromStart(const TRunStart& Start);

// The row of a finished run from its result line ({"event":"result",…}).
// Returns nullopt when the line is not a JSON object. A line without a
// run_id gets a fresh one: the record is kept even if it cannot meet its start.
std::optional<TRunRow> RunRowFromResult(const std::string& ResultLine);

// A fresh run id (a UUID without braces).
std::string NewRunId();

// UTC ISO 8601 with milliseconds, as the rows keep their times.
std::string RecordTime(const QDateTime& Time);
