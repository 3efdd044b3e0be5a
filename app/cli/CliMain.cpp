// veltrac-gnss-update-cli: the update session on a terminal. See --help.
#include "app/cli/CliFleet.h"
#include "app/cli/CliLists.h"
#include "app/cli/CliSearch.h"
#include "app/cli/CliStation.h"
#include "app/cli/JsonOut.h"

#include <QCoreApplication>
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

    QCoreApplication App(argc, argv);
    QCoreApplication::setApplicationName("veltrac-gnss-update-cli");
    QCoreApplication::setApplicationVersion(VELTRAC_VERSION);

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

    if (O.Watch) {
        TCliStation Station(O, StdoutIsTerminal(), Store, SessionArguments);
        return RunCommand(Station);
    }

    TCliFleet Fleet(Run, StdoutIsTerminal(), Store, SessionArguments);
    return RunCommand(Fleet);
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
