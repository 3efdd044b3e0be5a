#pragma once
// The files of one command-line run: the frame log (--log), the result line
// and the record (--record) it is appended to.
#include "app/UpdateOutcome.h"

#include <cstdio>
#include <string>

// Where each run's result line is kept. One write a line on a file opened
// for appending: programs and runs that share the file never tear each
// other's lines.
class TCliRecord
{
  public:
    TCliRecord() = default;
    TCliRecord(const TCliRecord&) = delete;
    TCliRecord& operator=(const TCliRecord&) = delete;
    ~TCliRecord();

    // Empty, or the message why the record cannot be kept at Path.
    std::string Open(const std::string& Path);
    bool IsOpen() const { return FFile >= 0; }
    // Whether the whole line was written; Error says why not.
    bool Append(const std::string& Line, std::string& Error);

  private:
    std::string FPath;
    int FFile = -1;
};

// The frame log and the record of a run.
class TCliRunFiles
{
  public:
    TCliRunFiles() = default;
    TCliRunFiles(const TCliRunFiles&) = delete;
    TCliRunFiles& operator=(const TCliRunFiles&) = delete;
    ~TCliRunFiles();

    // Either name may be empty (not wanted). Empty, or the message why one
    // of them cannot be written; the log is tried first.
    std::string Open(const std::string& LogFile, const std::string& RecordFile);

    bool Logging() const { return FLog != nullptr; }
    // A line of the log, after the time it was written.
    void Log(const std::string& Text);
    TCliRecord& Record() { return FRecord; }

  private:
    std::FILE* FLog = nullptr;
    TCliRecord FRecord;
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
};

// The result line: what a production line records of the run.
std::string ResultJson(const TUpdateOutcome& O, const TResultFacts& F);
