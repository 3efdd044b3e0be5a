#include "app/cli/CliFleet.h"

#include "app/SessionStatus.h"
#include "app/cli/CliOutcome.h"
#include "app/cli/JsonOut.h"
#include "serial/AppException.h"
#include "serial/PortMap.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

constexpr int TableRedrawMs = 200;

std::string PathOf(const TCliPort& Port)
{
    return Port.Path.empty() ? ComPortDevicePath(Port.Number) : Port.Path;
}

} // namespace

std::vector<TCliPort> DistinctPorts(const std::vector<TCliPort>& Ports)
{
    std::vector<TCliPort> Kept;
    for (const TCliPort& P : Ports) {
        const std::string Path = PathOf(P);
        bool Seen = false;
        for (const TCliPort& K : Kept) {
            const std::string Other = PathOf(K);
            Seen = Seen || (P.Number > 0 && P.Number == K.Number) ||
                   (!Path.empty() && !Other.empty() && SameDevice(Path, Other));
        }
        if (!Seen)
            Kept.push_back(P);
    }
    return Kept;
}

std::string PortLogFile(const std::string& LogFile, const TCliPort& Port)
{
    const int Number = Port.Path.empty() ? Port.Number : ComNumberOfPath(Port.Path);
    if (Number > 0)
        return LogFile + ".com" + std::to_string(Number);
    const std::size_t Slash = Port.Path.find_last_of('/');
    return LogFile + "." + (Slash == std::string::npos ? Port.Path : Port.Path.substr(Slash + 1));
}

TCliFleet::TCliFleet(const TCliOptions& Options, bool Terminal, const TFirmwareStore& Store,
                     const std::vector<std::string>& SessionArguments, TCliRecords* Records, QObject* Parent)
    : TCliCommand(Parent), FOptions(Options), FConsole(Terminal, Options.Json)
{
    const std::vector<TCliPort> Ports =
        DistinctPorts(Options.Ports.empty() ? std::vector<TCliPort>{{Options.PortNumber, Options.PortPath}}
                                            : Options.Ports);
    FView = Ports.size() == 1 ? TCliView::Single : FConsole.Terminal() ? TCliView::Table : TCliView::Prefixed;
    FPorts = Ports;
    for (const TCliPort& Port : Ports) {
        TCliOptions Own = Options;
        Own.Ports = {Port};
        Own.Device = Port.Device.value_or(Options.Device);
        Own.PortNumber = Port.Number;
        Own.PortPath = Port.Path;
        if (!Own.LogFile.empty() && FView != TCliView::Single)
            Own.LogFile = PortLogFile(Options.LogFile, Port);
        TPortRun Run;
        Run.Session = std::make_unique<TUpdateSession>(Store, SessionArguments);
        Run.Session->NextStep = TNextStep::RunAgain;
        Run.FrontEnd = std::make_unique<TCliFrontEnd>(Own, *Run.Session, FConsole, Records, FView);
        connect(Run.FrontEnd.get(), &TCliFrontEnd::Finished, this, [this] { OnRunFinished(); });
        FRuns.push_back(std::move(Run));
    }
    connect(&FSignals, &TSignalWatcher::Signalled, this, [this](int Signal) {
        for (TPortRun& Run : FRuns)
            if (!Run.FrontEnd->Done())
                Run.FrontEnd->Signal(Signal);
    });
    SetApplicationExceptionHandler([this](const std::exception& E) { OnException(E); });
    FTableTimer.setInterval(TableRedrawMs);
    connect(&FTableTimer, &QTimer::timeout, this, [this] { DrawTable(); });
}

TCliFleet::~TCliFleet()
{
    SetApplicationExceptionHandler({});
}

// Several ports: a record or log file that cannot be written stops the
// command before any port is opened, as it does for one port.
bool TCliFleet::CheckOutputFiles()
{
    std::vector<std::pair<std::string, std::string>> Files; // what, path
    if (!FOptions.LogFile.empty())
        for (const TCliPort& Port : FPorts)
            Files.emplace_back("log file", PortLogFile(FOptions.LogFile, Port));
    return ::CheckOutputFiles(FConsole, Files);
}

void TCliFleet::Start()
{
    if (FView != TCliView::Single) {
        if (!CheckOutputFiles()) {
            End(UsageExitCode);
            return;
        }
        if (!FOptions.Json)
            FConsole.Line(FRuns.front().Session->Display().Caption + ": " + std::to_string(FRuns.size()) +
                          " ports at once");
    }
    for (TPortRun& Run : FRuns)
        Run.FrontEnd->Start();
    if (FView == TCliView::Table && !Done()) {
        DrawTable();
        FTableTimer.start();
    }
}

// An exception belongs to the port whose session, link or port raised it;
// one that nobody claims is only reported, unless there is one port.
void TCliFleet::OnException(const std::exception& E)
{
    const void* Owner = ExceptionOwner();
    for (TPortRun& Run : FRuns) {
        if (Run.Session->OwnsException(Owner) || FRuns.size() == 1) {
            Run.FrontEnd->ApplicationException(E);
            return;
        }
    }
    FConsole.Error(E.what());
}

void TCliFleet::DrawTable()
{
    std::vector<TCliRow> Rows;
    for (const TPortRun& Run : FRuns)
        Rows.push_back(Run.FrontEnd->Row());
    FConsole.Live(TableLines(Rows));
}

void TCliFleet::OnRunFinished()
{
    if (Done())
        return;
    for (const TPortRun& Run : FRuns)
        if (!Run.FrontEnd->Done())
            return;
    FTableTimer.stop();
    if (FView == TCliView::Single) {
        End(FRuns.front().FrontEnd->ExitCode());
        return;
    }
    if (FView == TCliView::Table) {
        DrawTable();
        FConsole.KeepLive();
    }
    End(Summarize());
}

int TCliFleet::Summarize()
{
    std::vector<const TCliFrontEnd*> Runs;
    bool Interrupted = false;
    for (const TPortRun& Run : FRuns) {
        Runs.push_back(Run.FrontEnd.get());
        Interrupted = Interrupted ||
                      (Run.FrontEnd->Outcome() && Run.FrontEnd->Outcome()->Kind == TOutcomeKind::Interrupted);
    }
    // A run cut short by a signal says so, as one port's would.
    return SummarizeRuns(FConsole, FOptions.Json, Runs, Interrupted, false);
}

bool CheckOutputFiles(TCliConsole& Console, const std::vector<std::pair<std::string, std::string>>& Files)
{
    for (const auto& [What, Path] : Files) {
        const int Fd = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (Fd < 0) {
            Console.Error("cannot write the " + What + " " + Path + ": " + std::strerror(errno));
            return false;
        }
        ::close(Fd);
    }
    return true;
}

int SummarizeRuns(TCliConsole& Console, bool Json, const std::vector<const TCliFrontEnd*>& Runs,
                  bool CutShort, bool NameDevices)
{
    bool AllGood = true;
    int Lost = 0;
    std::vector<std::string> Names, Behind;
    for (const TCliFrontEnd* F : Runs) {
        const bool Ok = UpdatedOrUpToDate(*F);
        AllGood = AllGood && Ok;
        Lost += F->RecordLost() ? 1 : 0;
        const std::string ID = F->Row().DeviceID;
        if (!Ok)
            Behind.push_back(F->PortLabel() +
                             (NameDevices && !ID.empty() ? " (" + DeviceName(*F) + ")" : ""));
        Names.push_back(F->Row().Outcome);
    }
    const int ExitCode = SeveralRunsExitCode(AllGood, Lost, CutShort);

    if (Json) {
        TJsonObject Counts;
        std::vector<std::string> Seen;
        for (const std::string& N : Names)
            if (std::find(Seen.begin(), Seen.end(), N) == Seen.end()) {
                Seen.push_back(N);
                Counts.Add(N, static_cast<int64_t>(std::count(Names.begin(), Names.end(), N)));
            }
        TJsonObject J;
        J.Add("event", "summary")
            .Add("devices", static_cast<int64_t>(Runs.size()))
            .AddRaw("outcomes", Counts.Str())
            .AddRaw("not_updated", JsonStringArray(Behind))
            .Add("records_not_written", static_cast<int64_t>(Lost))
            .Add("exit_code", ExitCode);
        Console.JsonLine(J.Str());
        return ExitCode;
    }
    Console.Line("Summary of " + std::to_string(Runs.size()) + " device" + (Runs.size() == 1 ? "" : "s") +
                 ": " + OutcomeCounts(Names));
    for (const TCliFrontEnd* F : Runs) {
        const TCliRow Row = F->Row();
        std::string Line = "  " + F->PortLabel();
        if (!Row.DeviceID.empty())
            Line += " (" + DeviceName(*F) + ")";
        Console.Line(Line + ": " + Row.Outcome + ": " + Row.Step);
    }
    std::string Behinds;
    for (const std::string& B : Behind)
        Behinds += (Behinds.empty() ? "" : ", ") + B;
    if (Lost > 0)
        Console.Line(std::to_string(Lost) + (Lost == 1 ? " record" : " records") +
                     " could not be written (see the messages above)");
    if (AllGood && Lost > 0)
        Console.Line("Every device was updated or is up to date, but not every record was written (exit code " +
                     std::to_string(ExitCode) + ")");
    else if (AllGood)
        Console.Line("Every device was updated or is up to date (exit code 0)");
    else
        Console.Line("Not every device was updated: " + Behinds + " (exit code " + std::to_string(ExitCode) +
                     ")");
    return ExitCode;
}

int SeveralRunsExitCode(bool AllGood, int RecordsLost, bool CutShort)
{
    if (AllGood && RecordsLost == 0)
        return 0;
    if (CutShort)
        return ExitCodeOf(TOutcomeKind::Interrupted);
    return RecordsLost > 0 ? RecordExitCode : NotEveryDeviceExitCode;
}

bool UpdatedOrUpToDate(const TCliFrontEnd& Run)
{
    const auto& O = Run.Outcome();
    return O && (O->Kind == TOutcomeKind::Updated || O->Kind == TOutcomeKind::UpToDate) &&
           Run.ExitCode() != UsageExitCode;
}

std::string DeviceName(bool Module, const std::string& ID)
{
    return std::string(Module ? "module" : "unit") + (ID.empty() ? "" : " " + ID);
}

std::string DeviceName(const TCliFrontEnd& Run)
{
    return DeviceName(Run.ExternalGPS(), Run.Row().DeviceID);
}
