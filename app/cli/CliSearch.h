#pragma once
// Finding the devices by themselves: --port auto, --port all, --device auto
// and --list-ports --probe. The candidate ports are probed all at once, one
// TDeviceProbe each, and what answered decides the ports of the runs and
// each one's device type — or ends the command with exit code 11, the ports
// listed with what answered on each.
#include "app/SignalWatcher.h"
#include "app/cli/CliCommand.h"
#include "app/cli/CliConsole.h"
#include "app/cli/CliLists.h"
#include "app/cli/CliOptions.h"
#include "link/DeviceProbe.h"

#include <QObject>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A port considered for probing.
struct TSearchPort {
    TCliPort Port; // as a run would name it
    // For the list. State, once probed: "free" (it opened), "in use" or
    // "missing" (it did not); "missing" from the start: not probed.
    TPortRow Row;
    bool Probed = false;
    TProbeResult Result;
};

struct TSearchCandidates {
    std::vector<TSearchPort> Ports;
    // Ports of the port map left out: a built-in serial port (/dev/ttyS*), or
    // without a VELTRAC_COM_DIR one that is not a USB serial adapter.
    int LeftOut = 0;
};

// Named not empty (--device auto with ports named): those ports. Otherwise
// the USB serial adapters of the port map, or every port of VELTRAC_COM_DIR
// when it is set, never a /dev/ttyS* node. None is opened here: the probe's
// own opening tells a port in use.
TSearchCandidates SearchCandidates(const std::vector<TCliPort>& Named);

// "COM 5", or the path of a port outside the port map.
std::string PortLabel(const TSearchPort& P);

// The questions a probe asks for --device.
TProbeKind ProbeKindFor(TCliDevice Device);
// The device type of a port whose device answered; none when nothing did.
std::optional<TCliDevice> DeviceFound(const TProbeResult& R);

class TCliSearch : public TCliCommand
{
    Q_OBJECT

  public:
    TCliSearch(const TCliOptions& Options, TCliConsole& Console, QObject* Parent = nullptr);
    ~TCliSearch() override;

    // Starts every probe; Finished follows when the last one ended.
    void Start() override;
    // Ended with 0: the runs go on with Resolved(); otherwise with the command's exit code.
    // The options with the ports found, each with the device type found on it.
    const TCliOptions& Resolved() const { return FResolved; }
    const TSearchCandidates& Candidates() const { return FCandidates; }

  private:
    void OnException(const std::exception& E);
    void OnProbeFinished();
    void Decide();
    void List();
    void Refuse(const std::string& Message);

    TCliOptions FOptions;
    TCliOptions FResolved;
    TCliConsole& FConsole;
    TSearchCandidates FCandidates;
    // One for each probed port, in the order of FCandidates.Ports.
    std::vector<std::pair<std::size_t, std::unique_ptr<TDeviceProbe>>> FProbes;
    TSignalWatcher FSignals;
};
