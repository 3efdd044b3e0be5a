#pragma once
// The command line of veltrac-gnss-update-cli. Parsing is pure: it looks at
// the arguments only, never at ports or files.
#include <optional>
#include <string>
#include <vector>

enum class TCliDevice { Veltrac, ExternalGPS };

constexpr double DefaultTimeoutSeconds = 1800;
constexpr double DefaultConfirmTimeoutSeconds = 120;

struct TCliOptions {
    TCliDevice Device = TCliDevice::Veltrac;
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
    bool ListPorts = false;
    bool ListFirmware = false;
    std::string LogFile;
    // --record FILE: each run's result line is appended to FILE.
    std::string RecordFile;
    // --station TEXT: the workshop station or production line named in the record.
    std::string Station;
    bool Json = false;
    bool Help = false;
    bool Version = false;

    bool PortGiven() const { return PortNumber > 0 || !PortPath.empty(); }
    bool ListOnly() const { return ListPorts || ListFirmware; }
};

struct TCliParse {
    TCliOptions Options;
    std::string Error; // empty when the command line is good
    bool Ok() const { return Error.empty(); }
};

// Arguments without the program name. "--name value" and "--name=value" both
// work; --help and --version win over everything else.
TCliParse ParseCliArguments(const std::vector<std::string>& Arguments);

// Longest --timeout accepted, in seconds (about eleven days).
constexpr double MaxTimeoutSeconds = 1e6;

// "veltrac", "egps"
std::string DeviceOptionName(TCliDevice Device);

std::string CliUsage();
std::string CliHelp();
