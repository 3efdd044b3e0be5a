// veltrac-gnss-update-cli: the update session on a terminal. See --help.
#include "app/cli/CliFleet.h"
#include "app/cli/CliLists.h"
#include "app/cli/CliRecords.h"
#include "app/cli/CliSearch.h"
#include "app/cli/CliStation.h"
#include "app/cli/JsonOut.h"
#include "app/records/RecordError.h"
#include "app/records/RecordsReport.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#ifndef VELTRAC_VERSION
#define VELTRAC_VERSION "unknown"
#endif

namespace
{

void PrintLines(const std::vector<std::string>& Lines)
{
    for (const std::string& L : Lines)
        std::printf("%s\n", L.c_str());
}

// --records: what the destination keeps, read once; a database's own time
// limits bound the wait (no device is served meanwhile).
int PrintRecords(const TCliOptions& O)
{
    try {
        const TRecordsReport R = ReadRecords(O.RecordTo, {O.Since, O.Station});
        if (O.Json)
            std::printf("%s\n", RecordsReportJson(R).c_str());
        else
            PrintLines(RecordsReportLines(R));
        return 0;
    } catch (const TRecordError& E) {
        std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n", E.what());
        return UsageExitCode;
    }
}

// The writer of --record, its destination checked before any device is
// touched: null with the exit code when it cannot be used.
std::unique_ptr<TCliRecords> OpenRecords(const TCliOptions& O, int& ExitCode)
{
    TRecordOptions Options;
    Options.SpoolPath = O.Spool;
    auto Records = std::make_unique<TCliRecords>(O.RecordTo, Options);
    const TStartCheck Check = Records->Check();
    if (Check.Result == TStartResult::Refused) {
        if (O.Json)
            std::printf("%s\n", TJsonObject()
                                    .Add("event", "error")
                                    .Add("message", Check.Message)
                                    .Add("exit_code", UsageExitCode)
                                    .Str()
                                    .c_str());
        std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n", Check.Message.c_str());
        ExitCode = UsageExitCode;
        return nullptr;
    }
    // An unreachable server only means that the spool keeps the records.
    if (Check.Result == TStartResult::Unreachable)
        std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n", Check.Message.c_str());
    return Records;
}

// The records still on their way are given RecordDrainMs; what is left
// waits in the spool for the next start, and the user is told.
void DrainRecords(TCliRecords& Records, bool Json)
{
    const int Waiting = Records.Drain(RecordDrainMs);
    if (Waiting == 0)
        return;
    const std::string Line = std::to_string(Waiting) + (Waiting == 1 ? " record waits" : " records wait") +
                             " for " + Records.Destination().Display() + " in the spool " + Records.SpoolPath() +
                             "; the next start forwards them first";
    if (Json)
        std::printf("%s\n", RecordsStatusJson(Records).c_str());
    std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n", Line.c_str());
}

bool StdoutIsTerminal()
{
    const char* Term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) && !(Term && std::strcmp(Term, "dumb") == 0);
}

int Run(int argc, char** argv)
{
    std::vector<std::string> Arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const TCliParse Parse = ParseCliArguments(Arguments);
    const TCliOptions& O = Parse.Options;
    if (O.Help) {
        std::fputs(CliHelp().c_str(), stdout);
        return 0;
    }
    if (O.Version) {
        std::printf("veltrac-gnss-update-cli %s\n", VELTRAC_VERSION);
        return 0;
    }
    if (!Parse.Ok()) {
        std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n%s(--help tells more)\n", Parse.Error.c_str(),
                     CliUsage().c_str());
        return UsageExitCode;
    }

    // A file-size limit makes a write fail (EFBIG) instead of killing the
    // program: the run is told that its record was not written.
    std::signal(SIGXFSZ, SIG_IGN);

    QCoreApplication App(argc, argv);
    QCoreApplication::setApplicationName("veltrac-gnss-update-cli");
    QCoreApplication::setApplicationVersion(VELTRAC_VERSION);
    if (!O.Records.empty())
        return PrintRecords(O);

    std::string Error;
    if ((!O.ListOnly() || O.Probe) && !TSignalWatcher::Install(&Error)) {
        std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n", Error.c_str());
        return ExitCodeOf(TOutcomeKind::Failed);
    }

    // The ports, or their devices' types, found by probing first.
    TCliOptions Run = O;
    if (O.Searching() || O.Probe) {
        TCliConsole Console(StdoutIsTerminal(), O.Json);
        TCliSearch Search(O, Console);
        const int Code = RunCommand(Search);
        if (!Search.Done())
            return Code;
        if (Search.ExitCode() != 0 || (O.ListPorts && !O.ListFirmware))
            return Search.ExitCode();
        Run = Search.Resolved();
    } else if (O.ListPorts) {
        const auto Rows = ProbePorts();
        PrintLines(O.Json ? PortListJson(Rows) : PortListText(Rows));
        if (!O.ListFirmware)
            return 0;
    }

    // The session reads the window's switch from its first argument.
    std::vector<std::string> SessionArguments;
    if (O.Manual || !O.ImageFile.empty())
        SessionArguments.push_back("/MANUAL");

    // The firmware the program carries, opened once for every port's session.
    const TFirmwareStore Store;
    if (O.ListFirmware) {
        if (O.Json)
            std::printf("%s\n", FirmwareListJson(Store).c_str());
        else
            PrintLines(FirmwareListText(Store));
        return 0;
    }

    std::unique_ptr<TCliRecords> Records;
    if (!O.Record.empty()) {
        int Code = 0;
        Records = OpenRecords(O, Code);
        if (!Records)
            return Code;
    }
    int Code = 0;
    if (O.Watch) {
        TCliStation Station(O, StdoutIsTerminal(), Store, SessionArguments, Records.get());
        Code = RunCommand(Station);
    } else {
        TCliFleet Fleet(Run, StdoutIsTerminal(), Store, SessionArguments, Records.get());
        Code = RunCommand(Fleet);
    }
    if (Records)
        DrainRecords(*Records, O.Json);
    return Code;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& E) {
        std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n", E.what());
    } catch (...) {
        std::fprintf(stderr, "veltrac-gnss-update-cli: unknown exception\n");
    }
    return ExitCodeOf(TOutcomeKind::Failed);
}
