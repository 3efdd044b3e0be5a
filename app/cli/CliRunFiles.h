#pragma once
// The files of one command-line run: the frame log (--log), and the result
// line that its record (--record, see TCliRecords) and --json carry.
#include "app/UpdateOutcome.h"

#include <cstdio>
#include <optional>
#include <string>

// The frame log of a run.
class TCliRunFiles
{
  public:
    TCliRunFiles() = default;
    TCliRunFiles(const TCliRunFiles&) = delete;
    TCliRunFiles& operator=(const TCliRunFiles&) = delete;
    ~TCliRunFiles();

    // Empty LogFile: no log. Empty, or the message why it cannot be written.
    std::string Open(const std::string& LogFile);

    bool Logging() const { return FLog != nullptr; }
    // A line of the log, after the time it was written.
    void Log(const std::string& Text);

  private:
    std::FILE* FLog = nullptr;
};

// What the result line tells beside the outcome.
struct TResultFacts {
    std::string Name; // the outcome's name, or "usage"
    int ExitCode = 1;
    std::string Current, Required; // the receiver's versions as last shown
    std::string ToolVersion;
    std::string PackageLabel, PackageSha256;
    std::string Station;    // --station; null in the line when empty
    std::string DevicePath; // the port's path at the start of the run
    std::string RunId;      // the key of the run's record
    // Whether the record was written; unset: none was asked for (null), or
    // it is the record itself (true).
    std::optional<bool> RecordWritten;
};

// The result line: what a production line records of the run.
std::string ResultJson(const TUpdateOutcome& O, const TResultFacts& F);
