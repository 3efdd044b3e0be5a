#pragma once
// Reading the records back for a supervisor: per station and day the devices
// updated, up to date and failed; the receiver versions now in the field; the
// last failures with their messages.
#include "app/records/RecordDestination.h"
#include "app/records/RecordWriter.h"
#include "app/records/RunRow.h"

#include <QDate>
#include <string>
#include <utility>
#include <vector>

struct TRecordsQuery {
    QDate Since;         // a local day; invalid: from the first record
    std::string Station; // empty: every station
};

struct TRecordsDay {
    std::string Station; // empty: none was named
    std::string Day;     // yyyy-MM-dd in the local time zone
    int Updated = 0, UpToDate = 0, Failed = 0, Unfinished = 0;
};

struct TRecordsReport {
    std::string Destination;                            // masked
    std::string TimeZone;                               // the local time zone the days are counted in
    std::vector<TRecordsDay> Days;                      // by station, then day
    std::vector<std::pair<std::string, int>> Receivers; // version, devices; most first
    std::vector<TRunRow> Failures;                      // newest first
    int Unreadable = 0;                                 // lines of a JSON Lines file that are no result line
};

// Reads the destination on the calling thread (within the options' time
// limits; a database is checked as the writer checks it). Throws TRecordError.
TRecordsReport ReadRecords(const TRecordDestination& D, const TRecordsQuery& Q, const TRecordOptions& O = {});
// The counts of rows in order of their start; the last LastFailures failures.
TRecordsReport SummariseRuns(const std::vector<TRunRow>& Rows, std::size_t LastFailures = 10);

std::vector<std::string> RecordsReportLines(const TRecordsReport& R);
// {"event":"records","destination","time_zone","days":[…],"receivers":[…],"failures":[…],"unreadable"}
std::string RecordsReportJson(const TRecordsReport& R);
