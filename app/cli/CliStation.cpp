#include "app/cli/CliStation.h"

#include "app/SessionStatus.h"
#include "app/cli/CliFleet.h"
#include "app/cli/CliOutcome.h"
#include "app/cli/CliRender.h"
#include "app/cli/CliSearch.h"
#include "app/cli/JsonOut.h"
#include "serial/AppException.h"
#include "serial/PortMap.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unistd.h>

namespace
{

constexpr int TickMs = 1000;
constexpr int TableRedrawMs = 200;

} // namespace

TCliStation::TCliStation(const TCliOptions& Options, bool Terminal, const TFirmwareStore& Store,
                         const std::vector<std::string>& SessionArguments, TCliRecords* Records,
                         QObject* Parent)
    : TCliCommand(Parent), FOptions(Options), FStore(Store), FSessionArguments(SessionArguments),
      FRecords(Records), FConsole(Terminal, Options.Json),
      FView(FConsole.Terminal() ? TCliView::Table : TCliView::Prefixed)
{
    // The table shows what waits for the destination; without one, each change is a line.
    if (FRecords)
        connect(FRecords, &TCliRecords::StatusChanged, this, [this] {
            if (FOptions.Json)
                FConsole.JsonLine(RecordsStatusJson(*FRecords));
            else if (FView != TCliView::Table)
                FConsole.Line(RecordsStatusLine(*FRecords));
        });
    SetApplicationExceptionHandler([this](const std::exception& E) { OnException(E); });
    connect(&FSignals, &TSignalWatcher::Signalled, this, [this](int Signal) { OnSignal(Signal); });
    connect(&FWatcher, &TPortWatcher::PortsChanged, this, [this] { Rescan(); });
    FTick.setInterval(TickMs);
    connect(&FTick, &QTimer::timeout, this, [this] { Tick(); });
    FTableTimer.setInterval(TableRedrawMs);
    connect(&FTableTimer, &QTimer::timeout, this, [this] { DrawTable(); });
    FClock.start();
}

TCliStation::~TCliStation()
{
    SetApplicationExceptionHandler({});
}

// The folder the log files go to is checked before any port is opened (the
// record's destination was checked before the station began): a station
// that cannot write them would fail each device.
bool TCliStation::CheckFiles()
{
    if (FOptions.LogFile.empty())
        return true;
    const std::size_t Slash = FOptions.LogFile.find_last_of('/');
    const std::string Folder = Slash == std::string::npos ? "." : FOptions.LogFile.substr(0, Slash + 1);
    if (access(Folder.c_str(), W_OK | X_OK) != 0) {
        FConsole.Error("cannot write log files in " + Folder + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

void TCliStation::Start()
{
    if (!CheckFiles()) {
        End(UsageExitCode);
        return;
    }
    const char* Dir = std::getenv("VELTRAC_COM_DIR");
    const std::string Where = !FOptions.Ports.empty() ? "the ports named"
                              : Dir && *Dir           ? std::string("the ports of ") + Dir
                                                      : "the USB serial adapters";
    Say(nullptr, "watching",
        SessionText::CaptionFor(FStore.Label(), FStore.Package()->UnitFirmware().Count() > 0) +
            ": station watching " + Where +
            (FOptions.Device == TCliDevice::Veltrac       ? " for tracking units"
             : FOptions.Device == TCliDevice::ExternalGPS ? " for External GPS modules"
                                                          : "") +
            "; Ctrl-C takes no new devices");
    Rescan();
    FTick.start();
    if (FView == TCliView::Table) {
        DrawTable();
        FTableTimer.start();
    }
}

// The ports as they are now: those that came are probed (or, when their
// receiver may still be programming, followed), those that went are let go.
void TCliStation::Rescan()
{
    if (FSignalsSeen > 0)
        return;
    const TSearchCandidates C = SearchCandidates(FOptions.Ports);
    FWatcher.Watch(ComPortMap());
    std::vector<TSlot*> Seen;
    for (const TSearchPort& P : C.Ports) {
        if (P.Row.State == "missing")
            continue;
        const std::string Label = PortLabel(P);
        auto It =
            std::find_if(FSlots.begin(), FSlots.end(), [&](const auto& S) { return S->Label == Label; });
        if (It == FSlots.end()) {
            auto S = std::make_unique<TSlot>();
            S->Port = P.Port;
            S->Label = Label;
            S->Session = std::make_unique<TUpdateSession>(FStore, FSessionArguments);
            S->Session->NextStep = TNextStep::StationFollows;
            FSlots.push_back(std::move(S));
            It = FSlots.end() - 1;
        }
        TSlot& S = **It;
        const std::string Target = CanonicalDevicePath(P.Row.Path);
        if (S.Present && Target != S.Target)
            Unplugged(S); // gone and back in another place between two looks
        S.Path = P.Row.Path;
        S.Target = Target;
        S.Adapter = P.Row.Adapter.Serial;
        if (!S.Present)
            Plugged(S);
        Seen.push_back(&S);
    }
    for (auto& S : FSlots)
        if (S->Present && std::find(Seen.begin(), Seen.end(), S.get()) == Seen.end())
            Unplugged(*S);
}

void TCliStation::Plugged(TSlot& S)
{
    S.Present = true;
    S.Finished = S.Left = false;
    S.DeviceID.clear();
    S.SilentSince = -1;
    S.NextProbeAt = 0;
    Say(&S, "plugged", "plugged in");
    // A run still ending on the port's last appearance is followed by the next tick.
    if (!Running(S))
        Next(S);
}

// A present port without a run: a receiver that may still be programming
// is followed (the session sends it nothing but the questions that follow
// programming, and updates a different device as usual); otherwise the
// port is probed.
void TCliStation::Next(TSlot& S)
{
    const std::string Kept = S.Session->KeptConfirmation();
    if (Kept.empty() || !S.Run) {
        StartProbe(S);
        return;
    }
    const bool Module = S.Run->ExternalGPS();
    Say(&S, "returned", "following " + DeviceName(Module, Kept) + ", whose receiver may still be programming",
        Kept, Module);
    StartRun(S, Module ? TCliDevice::ExternalGPS : TCliDevice::Veltrac, Kept);
}

void TCliStation::Unplugged(TSlot& S)
{
    S.Present = false;
    // A probe's port is gone; a run's session sees the hang-up itself.
    S.Probe.reset();
    S.Finished = S.Left = false;
    S.DeviceID.clear();
    Say(&S, "unplugged", "unplugged");
}

void TCliStation::Tick()
{
    if (FSignalsSeen > 0)
        return;
    // The watcher tells of changes; a look every tick catches one it missed.
    Rescan();
    for (auto& S : FSlots)
        if (S->Present && !S->Probe && !Running(*S) && FClock.elapsed() >= S->NextProbeAt)
            Next(*S);
}

void TCliStation::StartProbe(TSlot& S)
{
    S.Probe = std::make_unique<TDeviceProbe>(S.Path, ProbeKindFor(FOptions.Device));
    TSlot* Slot = &S;
    S.Probe->OnFinished = [this, Slot](TDeviceProbe*) {
        // Taken up outside the probe's own event: the probe may go then.
        QMetaObject::invokeMethod(
            this, [this, Slot] { OnProbed(*Slot); }, Qt::QueuedConnection);
    };
    S.Probe->Start();
}

void TCliStation::OnProbed(TSlot& S)
{
    if (!S.Probe || !S.Probe->Done())
        return;
    const TProbeResult R = S.Probe->Result();
    S.Probe.reset();
    if (FSignalsSeen > 0 || !S.Present)
        return;
    S.NextProbeAt = FClock.elapsed() + (R.Found == TProbeFound::NotOpened ? RetryOpenMs : ProbeEveryMs);
    const std::string Probed = R.Found == TProbeFound::Nothing ? "waiting for a device" : ProbeResultText(R);
    // A port that will not open, or fails, is said once, not at every try.
    if ((R.Found == TProbeFound::NotOpened || R.Found == TProbeFound::Failed) && Probed != S.Probed)
        Say(&S, "probe-failed", Probed);
    S.Probed = Probed;
    const auto Device = DeviceFound(R);
    if (!Device) {
        // A device that finished and no longer answers was taken off.
        if (R.Found == TProbeFound::Nothing && S.SilentSince < 0)
            S.SilentSince = FClock.elapsed();
        if (R.Found == TProbeFound::Nothing && S.Finished && !S.Left &&
            FClock.elapsed() - S.SilentSince >= LeaveAfterMs) {
            S.Left = true;
            Say(&S, "left", DeviceName(S.Module, S.DeviceID) + " taken off: done, next device", S.DeviceID,
                S.Module);
            S.DeviceID.clear();
        }
        return;
    }
    const bool Module = *Device == TCliDevice::ExternalGPS;
    S.SilentSince = -1;
    // The device that finished here answers again: left alone. A module
    // still (or again) in its loader after its run is the same module.
    if (S.Finished && !S.Left && Module == S.Module &&
        (R.ID == S.DeviceID || (R.Found == TProbeFound::ModuleLoader && S.Module)))
        return;
    Say(&S, "found", ProbeResultText(R) + ": updating", R.ID, Module);
    StartRun(S, *Device, R.ID);
}

std::string TCliStation::LogFileFor(const TSlot& S, const std::string& DeviceID) const
{
    const std::string Base =
        PortLogFile(FOptions.LogFile, S.Port) + "." + (DeviceID.empty() ? "device" : DeviceID);
    std::string Name = Base;
    for (int N = 2; access(Name.c_str(), F_OK) == 0; ++N)
        Name = Base + "." + std::to_string(N);
    return Name;
}

void TCliStation::StartRun(TSlot& S, TCliDevice Device, const std::string& DeviceID)
{
    TCliOptions Own = FOptions;
    Own.Watch = false;
    Own.Ports = {S.Port};
    Own.Device = Device;
    Own.PortNumber = S.Port.Number;
    Own.PortPath = S.Port.Path;
    if (!FOptions.LogFile.empty())
        Own.LogFile = LogFileFor(S, DeviceID);
    // The last run stays for the summary; it no longer listens to the session.
    if (S.Run)
        FEnded.push_back(std::move(S.Run));
    S.Finished = S.Left = false;
    S.SilentSince = -1;
    S.Run = std::make_unique<TCliFrontEnd>(Own, *S.Session, FConsole, FRecords, FView);
    TSlot* Slot = &S;
    connect(S.Run.get(), &TCliFrontEnd::Finished, this, [this, Slot] { OnRunFinished(*Slot); });
    S.Run->Start();
}

void TCliStation::OnRunFinished(TSlot& S)
{
    FCompleted.push_back(S.Run.get());
    const TCliRow Row = S.Run->Row();
    S.Finished = true;
    S.Module = S.Run->ExternalGPS();
    S.DeviceID = Row.DeviceID;
    S.SilentSince = -1;
    // A receiver that may be programming is followed as soon as its port is back.
    S.NextProbeAt = FClock.elapsed() + (S.Session->KeptConfirmation().empty() ? ProbeEveryMs : 0);
    // What the technician does next. A port gone with the device needs no
    // unplugging; one gone while its receiver programmed wants it back.
    const bool Gone = access(S.Path.c_str(), F_OK) != 0;
    const bool Interrupted = S.Run->Outcome() && S.Run->Outcome()->Kind == TOutcomeKind::Interrupted;
    const std::string Next = !S.Session->KeptConfirmation().empty()
                                 ? ": plug it in again to follow its receiver to the new version"
                             : Gone || Interrupted ? ""
                             : UpdatedOrUpToDate(*S.Run)
                                 ? ": unplug it"
                                 : ": unplug it (plugged in again, it is tried again)";
    Say(&S, "done", DeviceName(*S.Run) + " " + Row.Outcome + Next, S.DeviceID, S.Module);
    if (FSignalsSeen > 0 &&
        std::none_of(FSlots.begin(), FSlots.end(), [this](const auto& P) { return Running(*P); }))
        QMetaObject::invokeMethod(
            this, [this] { Finish(); }, Qt::QueuedConnection);
}

void TCliStation::OnSignal(int Signal)
{
    ++FSignalsSeen;
    int Runs = 0, Programming = 0;
    for (auto& S : FSlots) {
        S->Probe.reset();
        if (!Running(*S))
            continue;
        ++Runs;
        Programming += S->Session->ReceiverAtRisk();
        if (FSignalsSeen == 1) {
            // Stops politely; a receiver that programs is warned about and waited for.
            S->Run->Signal(Signal);
        } else {
            FCutShort = true;
            S->Run->Signal(Signal);
            if (!S->Run->Done())
                S->Run->Signal(Signal); // the link is closed at once
        }
    }
    if (FSignalsSeen == 1) {
        FTick.stop();
        Say(nullptr, "stopping",
            SignalName(Signal) + ": no new devices" +
                (Programming > 0
                     ? "; waiting for " + std::to_string(Programming) + " receiver" +
                           (Programming == 1 ? "" : "s") + " that program" + (Programming == 1 ? "s" : "") +
                           " (" + SignalName(Signal) + " again ends at once)"
                     : ""));
    }
    if (Runs == 0)
        QMetaObject::invokeMethod(
            this, [this] { Finish(); }, Qt::QueuedConnection);
}

// An exception belongs to the port whose session, link, port or probe
// raised it; one that nobody claims is only reported.
void TCliStation::OnException(const std::exception& E)
{
    const void* Owner = ExceptionOwner();
    for (auto& S : FSlots) {
        if (S->Probe && S->Probe->Owns(Owner)) {
            S->Probe->Fail(E.what());
            return;
        }
        if (Running(*S) && S->Session->OwnsException(Owner)) {
            S->Run->ApplicationException(E);
            return;
        }
    }
    FConsole.Error(E.what());
}

// What the station does, as a line ("COM 5: ...") or a "station" event.
void TCliStation::Say(const TSlot* S, const std::string& What, const std::string& Line,
                      const std::string& DeviceID, bool Module)
{
    if (!FOptions.Json) {
        FConsole.Line((S ? S->Label + ": " : "") + Line);
        return;
    }
    TJsonObject J;
    J.Add("event", "station").Add("what", What);
    if (S) {
        const int Number = S->Port.Number > 0 ? S->Port.Number : ComNumberOfPath(S->Path);
        if (Number > 0)
            J.Add("com", Number);
        else
            J.AddNull("com");
        J.Add("device_path", S->Path);
        if (!DeviceID.empty() || What == "found" || What == "done" || What == "left" || What == "returned")
            J.Add("device", Module ? "egps" : "veltrac").AddText("device_id", DeviceID);
    }
    J.Add("message", Line);
    FConsole.JsonLine(J.Str());
}

void TCliStation::DrawTable()
{
    std::vector<TCliRow> Rows;
    for (const auto& S : FSlots) {
        const bool Kept = !S->Session->KeptConfirmation().empty();
        if (!S->Present && !Running(*S) && !Kept)
            continue;
        TCliRow R;
        if (S->Run && (Running(*S) || (S->Present && S->Finished) || Kept)) {
            R = S->Run->Row();
            if (!Running(*S))
                R.Step = (!S->Present ? "unplugged while its receiver may be programming: plug it in again; "
                          : S->Left   ? "done, next device; "
                                      : "unplug it; ") +
                         R.Step;
        } else {
            R.Port = S->Label;
            R.Adapter = S->Adapter;
            R.Step = S->Probe ? "probing" : S->Probed;
        }
        Rows.push_back(R);
    }
    std::vector<std::string> Lines = TableLines(Rows);
    if (FRecords && !FRecords->StatusText().empty())
        Lines.push_back(FRecords->StatusText());
    FConsole.Live(Lines);
}

void TCliStation::Finish()
{
    if (Done())
        return;
    FTick.stop();
    FTableTimer.stop();
    if (FView == TCliView::Table) {
        DrawTable();
        FConsole.KeepLive();
    }
    // Each device by its last run: one taken off while it programmed and
    // followed to its new version when it came back counts as updated.
    std::vector<const TCliFrontEnd*> Last;
    for (const TCliFrontEnd* Run : FCompleted) {
        const std::string ID = Run->Row().DeviceID;
        auto Same = [&](const TCliFrontEnd* Other) {
            return !ID.empty() && Other->Row().DeviceID == ID && Other->ExternalGPS() == Run->ExternalGPS();
        };
        Last.erase(std::remove_if(Last.begin(), Last.end(), Same), Last.end());
        Last.push_back(Run);
    }
    if (Last.empty() && !FOptions.Json) {
        FConsole.Line("No device was handled (exit code 0)");
        End(0);
        return;
    }
    End(SummarizeRuns(FConsole, FOptions.Json, Last, FCutShort, true));
}
