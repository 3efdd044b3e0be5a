#pragma once
// The command line of veltrac-gnss-update-cli. Parsing is pure: it looks at
// the arguments only, never at ports, files or servers.
#include "app/records/RecordDestination.h"

#include <QDate>
#include <optional>
#include <string>
#include <vector>

// Auto: each port's device type from how its device answers (every run
// gets the type found on its port).
enum class TCliDevice { Veltrac, ExternalGPS, Auto };

// --port auto: the one port whose device answers; --port all: every such port.
enum class TCliPortSearch { None, One, All };

constexpr double DefaultTimeoutSeconds = 1800;
constexpr double DefaultConfirmTimeoutSeconds = 120;

// One --port: a COM number of the port map, or a device path.
struct TCliPort {
    int Number = 0;
    std::string Path;
    // The device type found on the port by probing; its run takes it over --device.
    std::optional<TCliDevice> Device{};
    bool operator==(const TCliPort&) const = default;
};

struct TCliOptions {
    TCliDevice Device = TCliDevice::Veltrac;
    // Every --port, in the order given, each once as written.
    std::vector<TCliPort> Ports;
    // The port of this run: the first --port (each port of several runs with
    // a copy of the options holding its own).
    int PortNumber = 0;    // --port N: a COM number of the port map; 0 = not given
    std::string PortPath;  // --port PATH: a device path
    bool Manual = false;   // the "/MANUAL" behaviour
    std::string ImageFile; // --image FILE: custom update
    bool Recovery = false; // --recovery
    // The whole run; 0 = no limit. A script that forgets it must not wait for
    // ever on a silent port.
    double TimeoutSeconds = DefaultTimeoutSeconds;
    // How long the device may show no sign of progress while the new version is awaited.
    double ConfirmTimeoutSeconds = DefaultConfirmTimeoutSeconds;
    // --port auto, --port all: the ports are found by probing (Ports empty).
    TCliPortSearch PortSearch = TCliPortSearch::None;
    // --watch: a station that updates each device as it is plugged in, until Ctrl-C.
    bool Watch = false;
    bool ListPorts = false;
    bool Probe = false; // --list-ports --probe: what answers on each port
    bool ListFirmware = false;
    std::string LogFile;
    // --log FILE: with several ports, FILE.comN for each (FILE.<name> for a path outside the port map).
    // --record DEST: where each run is recorded (a JSON Lines file, sqlite:PATH,
    // postgresql://…), as written; parsed into RecordTo.
    std::string Record;
    TRecordDestination RecordTo;
    // --spool PATH: where a PostgreSQL destination's records wait (empty: the default).
    std::string Spool;
    // --records DEST: the summary of the records kept at DEST, instead of a run.
    std::string Records;
    QDate Since; // --since DATE (yyyy-mm-dd) with --records; invalid: from the first
    // --station TEXT: the workshop station or production line named in the
    // record; with --records, only that station's.
    std::string Station;
    bool Json = false;
    bool Help = false;
    bool Version = false;

    bool PortGiven() const
    {
        return PortNumber > 0 || !PortPath.empty() || PortSearch != TCliPortSearch::None || Watch;
    }
    bool SeveralPorts() const { return Ports.size() > 1; }
    bool ListOnly() const { return ListPorts || ListFirmware || !Records.empty(); }
    // The ports or their device types are to be found by probing first.
    bool Searching() const
    {
        return !ListOnly() && !Watch && (PortSearch != TCliPortSearch::None || Device == TCliDevice::Auto);
    }
};

struct TCliParse {
    TCliOptions Options;
    std::string Error; // empty when the command line is good
    bool Ok() const { return Error.empty(); }
};

// Arguments without the program name. "--name value" and "--name=value" both
// work; --help and --version win over everything else.
TCliParse ParseCliArguments(const std::vector<std::string>& Arguments);

// The most ports one command takes.
constexpr int MaxPorts = 64;

// Longest --timeout accepted, in seconds (about eleven days).
constexpr double MaxTimeoutSeconds = 1e6;

// "veltrac", "egps", "auto"
std::string DeviceOptionName(TCliDevice Device);

std::string CliUsage();
std::string CliHelp();
