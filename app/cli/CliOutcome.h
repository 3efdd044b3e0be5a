#pragma once
// The command line's exit codes: how each outcome of the update session (and
// a bad command line) is told to a script.
#include "app/UpdateOutcome.h"

#include <cstdint>
#include <string>
#include <vector>

struct TExitCode {
    int Code;
    const char* Name;    // in --json results: the outcome's name, or "usage"
    const char* Meaning; // in --help
};

// Every exit code, in order; each once.
const std::vector<TExitCode>& ExitCodes();
int ExitCodeOf(TOutcomeKind Kind);
constexpr int UsageExitCode = 2;
// Several ports: a device ended otherwise than "updated" or "up to date".
constexpr int NotEveryDeviceExitCode = 10;
// Probing found no device where one was wanted, or more than one for --port auto.
constexpr int NoDeviceExitCode = 11;
// The run's record could not be kept (not even in the spool); the device's
// own outcome is in the message and the result line.
constexpr int RecordExitCode = 12;
