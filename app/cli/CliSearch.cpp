#include "app/cli/CliSearch.h"

#include "app/cli/CliFleet.h"
#include "app/cli/CliOutcome.h"
#include "app/cli/JsonOut.h"
#include "serial/AppException.h"
#include "serial/PortMap.h"
#include "util/MyFunctions.h"

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace
{

bool BuiltInPort(const std::string& Path)
{
    return CanonicalDevicePath(Path).starts_with("/dev/ttyS");
}

std::string Count(std::size_t N, const std::string& What)
{
    return std::to_string(N) + " " + What + (N == 1 ? "" : "s");
}

std::string Joined(const std::vector<std::string>& Texts)
{
    std::string S;
    for (const std::string& T : Texts)
        S += (S.empty() ? "" : ", ") + T;
    return S;
}

const char* FoundName(const TSearchPort& P)
{
    if (P.Row.State == "in use" || P.Row.State == "missing")
        return P.Row.State == "in use" ? "in-use" : "missing";
    switch (P.Result.Found) {
    case TProbeFound::Unit:
        return "unit";
    case TProbeFound::Module:
        return "module";
    case TProbeFound::ModuleLoader:
        return "module-loader";
    case TProbeFound::NotOpened:
        return "not-opened";
    case TProbeFound::Failed:
        return "failed";
    case TProbeFound::Nothing:
        break;
    }
    return "nothing";
}

} // namespace

TSearchCandidates SearchCandidates(const std::vector<TCliPort>& Named)
{
    TSearchCandidates C;
    if (!Named.empty()) {
        for (const TCliPort& P : DistinctPorts(Named)) {
            const std::string Path = P.Path.empty() ? ComPortDevicePath(P.Number) : P.Path;
            TSearchPort S;
            S.Port = P;
            S.Row = DescribePort(P.Path.empty() ? P.Number : ComNumberOfPath(P.Path), Path);
            if (Path.empty()) {
                S.Row.Path = "COM " + std::to_string(P.Number);
                S.Row.State = "missing";
            }
            C.Ports.push_back(S);
        }
        return C;
    }
    const char* Dir = std::getenv("VELTRAC_COM_DIR");
    const bool Folder = Dir && *Dir;
    for (const auto& [Number, Path] : ComPortMap()) {
        if (access(Path.c_str(), F_OK) != 0)
            continue; // a link to nothing
        TSearchPort S;
        S.Port = {Number, {}};
        S.Row = DescribePort(Number, Path);
        // A built-in port is never written to unasked: what hangs on it is
        // anybody's guess (a modem, a console, a machine's controller).
        const bool Again = std::any_of(C.Ports.begin(), C.Ports.end(),
                                       [&](const TSearchPort& P) { return SameDevice(P.Row.Path, Path); });
        if (BuiltInPort(Path) || (!Folder && !S.Row.Adapter.Usb()))
            ++C.LeftOut;
        else if (!Again) // two links to one device: probed once, under the first number
            C.Ports.push_back(S);
    }
    return C;
}

std::string PortLabel(const TSearchPort& P)
{
    return P.Row.Number > 0 ? "COM " + std::to_string(P.Row.Number) : P.Row.Path;
}

TProbeKind ProbeKindFor(TCliDevice Device)
{
    switch (Device) {
    case TCliDevice::Veltrac:
        return TProbeKind::Unit;
    case TCliDevice::ExternalGPS:
        return TProbeKind::Module;
    case TCliDevice::Auto:
        break;
    }
    return TProbeKind::Both;
}

std::optional<TCliDevice> DeviceFound(const TProbeResult& R)
{
    switch (R.Found) {
    case TProbeFound::Unit:
        return TCliDevice::Veltrac;
    case TProbeFound::Module:
    case TProbeFound::ModuleLoader:
        return TCliDevice::ExternalGPS;
    default:
        return std::nullopt;
    }
}

TCliSearch::TCliSearch(const TCliOptions& Options, TCliConsole& Console, QObject* Parent)
    : TCliCommand(Parent), FOptions(Options), FResolved(Options), FConsole(Console)
{
    SetApplicationExceptionHandler([this](const std::exception& E) { OnException(E); });
    connect(&FSignals, &TSignalWatcher::Signalled, this, [this] {
        // The ports are closed; nothing more is sent.
        FProbes.clear();
        End(ExitCodeOf(TOutcomeKind::Interrupted));
    });
}

TCliSearch::~TCliSearch()
{
    SetApplicationExceptionHandler({});
}

void TCliSearch::Start()
{
    FCandidates = SearchCandidates(FOptions.PortSearch == TCliPortSearch::None ? FOptions.Ports
                                                                               : std::vector<TCliPort>{});
    const TProbeKind Kind = ProbeKindFor(FOptions.Device);
    for (std::size_t I = 0; I < FCandidates.Ports.size(); ++I) {
        TSearchPort& P = FCandidates.Ports[I];
        if (P.Row.State == "missing")
            continue;
        P.Probed = true;
        auto Probe = std::make_unique<TDeviceProbe>(P.Row.Path, Kind);
        Probe->OnFinished = [this](TDeviceProbe*) { OnProbeFinished(); };
        FProbes.emplace_back(I, std::move(Probe));
    }
    if (!FOptions.Json) {
        const char* What = Kind == TProbeKind::Unit     ? "a unit"
                           : Kind == TProbeKind::Module ? "a module"
                                                        : "a unit or a module";
        const int Ms = (Kind != TProbeKind::Unit ? TDeviceProbe::ModuleWaitMs : 0) +
                       (Kind != TProbeKind::Module ? TDeviceProbe::UnitWaitMs : 0);
        FConsole.Line("Probing " + Count(FProbes.size(), "port") + " for " + What + ", at most " +
                      FixedText(Ms / 1000.0, 1) + " s");
    }
    for (auto& [Index, Probe] : FProbes)
        Probe->Start();
    if (FProbes.empty())
        Decide();
}

// A probe's links raise into the application's handler like a session's do;
// the exception ends that probe alone.
void TCliSearch::OnException(const std::exception& E)
{
    const void* Owner = ExceptionOwner();
    for (auto& [Index, Probe] : FProbes)
        if (Probe->Owns(Owner)) {
            Probe->Fail(E.what());
            return;
        }
    FConsole.Error(E.what());
}

void TCliSearch::OnProbeFinished()
{
    if (Done())
        return;
    for (auto& [Index, Probe] : FProbes)
        if (!Probe->Done())
            return;
    for (auto& [Index, Probe] : FProbes) {
        TSearchPort& P = FCandidates.Ports[Index];
        P.Result = Probe->Result();
        P.Row.State = "free";
        if (P.Result.Found == TProbeFound::NotOpened) {
            // Told apart as --list-ports does (in use, no permission, gone);
            // a port that would not open is not disturbed by trying again.
            const auto Again = ProbePorts({{P.Row.Number > 0 ? P.Row.Number : 1, P.Row.Path}});
            if (!Again.empty() && Again.front().State != "free") {
                P.Row.State = Again.front().State;
                P.Row.NoPermission = Again.front().NoPermission;
            }
        }
    }
    // Decided outside the probe's own event: the probes may go now.
    QMetaObject::invokeMethod(
        this,
        [this] {
            FProbes.clear();
            Decide();
        },
        Qt::QueuedConnection);
}

void TCliSearch::List()
{
    for (const TSearchPort& P : FCandidates.Ports) {
        if (FOptions.Json) {
            TJsonObject O = PortJson("probe", P.Row);
            O.Add("found", FoundName(P));
            if (const auto Device = DeviceFound(P.Result))
                O.Add("device", DeviceOptionName(*Device));
            else
                O.AddNull("device");
            for (const auto& [Key, Value] :
                 {std::pair{"id", P.Result.ID}, std::pair{"name", P.Result.Name},
                  std::pair{"version", P.Result.Version}, std::pair{"error", P.Result.Error}})
                O.AddText(Key, Value);
            O.Add("bytes_sent", static_cast<int64_t>(P.Result.BytesSent))
                .Add("no_permission", P.Row.NoPermission)
                .AddRaw("adapter", AdapterJson(P.Row.Adapter));
            FConsole.JsonLine(O.Str());
            continue;
        }
        std::string State = P.Row.State == "free" ? ProbeResultText(P.Result) : P.Row.State;
        if (P.Row.NoPermission)
            State += " (no permission: join the group dialout)";
        for (const std::string& Line : PortLines(P.Row, State))
            FConsole.Line(Line);
    }
}

void TCliSearch::Refuse(const std::string& Message)
{
    FConsole.Error(Message);
    if (FOptions.Json) {
        TJsonObject O;
        O.Add("event", "search")
            .Add("result", "no-device")
            .Add("message", Message)
            .Add("exit_code", NoDeviceExitCode);
        FConsole.JsonLine(O.Str());
    }
    End(NoDeviceExitCode);
}

void TCliSearch::Decide()
{
    List();
    if (FOptions.ListPorts) {
        End(0);
        return;
    }
    std::vector<TCliPort> Found;
    std::vector<std::string> Answered, Silent;
    int InUse = 0;
    for (const TSearchPort& P : FCandidates.Ports) {
        InUse += P.Row.State == "in use" || P.Result.Found == TProbeFound::NotOpened;
        if (const auto Device = DeviceFound(P.Result)) {
            TCliPort Port = P.Port;
            Port.Device = Device;
            Found.push_back(Port);
            Answered.push_back(PortLabel(P));
        } else {
            Silent.push_back(PortLabel(P));
        }
    }

    if (FOptions.PortSearch == TCliPortSearch::None) {
        // --device auto on named ports: each must say what it is.
        if (!Silent.empty()) {
            Refuse("nothing answered on " + Joined(Silent) +
                   ": is the device powered and connected? (--device veltrac or egps names its type)");
            return;
        }
    } else if (Found.empty()) {
        const std::string Skipped = InUse > 0 ? " (" + std::to_string(InUse) + " in use or not opened)" : "";
        const std::string Left = FCandidates.LeftOut > 0
                                     ? "; " + Count(FCandidates.LeftOut, "other port") +
                                           " (built-in /dev/ttyS*, not USB) only when named: --port PATH "
                                           "--device auto"
                                     : "";
        const char* Dir = std::getenv("VELTRAC_COM_DIR");
        Refuse(!FCandidates.Ports.empty()
                   ? "no device answered on the " + Count(FCandidates.Ports.size(), "port") + " probed" +
                         Skipped + Left
               : Dir && *Dir ? std::string("no port to probe: VELTRAC_COM_DIR (") + Dir + ") links none"
                             : "no port to probe: no USB serial adapter found" + Left);
        return;
    } else if (FOptions.PortSearch == TCliPortSearch::One && Found.size() > 1) {
        Refuse(std::to_string(Found.size()) + " devices answered (" + Joined(Answered) +
               "): name one with --port, or update them all with --port all");
        return;
    }
    FResolved.PortSearch = TCliPortSearch::None;
    FResolved.Ports = Found;
    FResolved.PortNumber = Found.front().Number;
    FResolved.PortPath = Found.front().Path;
    End(0);
}
