#include "app/cli/CliOptions.h"

#include "app/cli/CliOutcome.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

namespace
{

std::string Lower(std::string S)
{
    for (char& C : S)
        if (C >= 'A' && C <= 'Z')
            C = static_cast<char>(C - 'A' + 'a');
    return S;
}

bool AllDigits(const std::string& S)
{
    if (S.empty())
        return false;
    for (char C : S)
        if (C < '0' || C > '9')
            return false;
    return true;
}

// "5", "COM5", "com5" name a port-map number; anything else is a device path.
bool ParsePort(const std::string& Value, TCliPort& Port, std::string& Error)
{
    std::string Digits = Value;
    if (Digits.size() > 3 && Lower(Digits.substr(0, 3)) == "com")
        Digits = Digits.substr(3);
    if (AllDigits(Digits)) {
        if (Digits.size() > 5 || std::stol(Digits) < 1 || std::stol(Digits) > 65535) {
            Error = "--port: COM number " + Value + " is out of range (1 to 65535)";
            return false;
        }
        Port.Number = static_cast<int>(std::stol(Digits));
        return true;
    }
    if (Value.find('/') == std::string::npos) {
        Error = "--port: '" + Value + "' is neither a COM number nor a device path (such as /dev/ttyUSB0)";
        return false;
    }
    Port.Path = Value;
    return true;
}

// ZeroAllowed: 0 stands for "no limit".
bool ParseSeconds(const std::string& Name, const std::string& Value, bool ZeroAllowed, double& Seconds,
                  std::string& Error)
{
    const char* Begin = Value.c_str();
    char* End = nullptr;
    errno = 0;
    const double V = std::strtod(Begin, &End);
    if (Value.empty() || End == Begin || *End != '\0' || errno != 0 || !std::isfinite(V) || V < 0 ||
        (V == 0 && !ZeroAllowed) || V > MaxTimeoutSeconds ||
        Value.find_first_of("xXpPnN") != std::string::npos) {
        Error = Name + ": '" + Value + "' is not a number of seconds " +
                (ZeroAllowed ? "(0 for no limit" : "(above 0") + ", at most 1000000)";
        return false;
    }
    Seconds = V;
    return true;
}

} // namespace

std::string DeviceOptionName(TCliDevice Device)
{
    return Device == TCliDevice::ExternalGPS ? "egps" : Device == TCliDevice::Auto ? "auto" : "veltrac";
}

TCliParse ParseCliArguments(const std::vector<std::string>& Arguments)
{
    TCliParse R;
    TCliOptions& O = R.Options;
    for (const std::string& A : Arguments) {
        if (A == "--help" || A == "-h")
            O.Help = true;
        else if (A == "--version" || A == "-V")
            O.Version = true;
    }
    if (O.Help || O.Version)
        return R;

    std::set<std::string> Seen;
    auto Fail = [&](const std::string& Message) {
        R.Error = Message;
        return R;
    };
    for (std::size_t i = 0; i < Arguments.size(); ++i) {
        std::string Name = Arguments[i];
        std::optional<std::string> Inline;
        if (Name.starts_with("--")) {
            const auto Eq = Name.find('=');
            if (Eq != std::string::npos) {
                Inline = Name.substr(Eq + 1);
                Name = Name.substr(0, Eq);
            }
        }
        if (Lower(Name) == "/manual")
            Name = "--manual"; // the window's own switch
        // Several ports, one session each; every other option once.
        if (!Seen.insert(Name).second && Name != "--port")
            return Fail(Name + " is given twice");

        const bool TakesValue = Name == "--device" || Name == "--port" || Name == "--image" ||
                                Name == "--timeout" || Name == "--confirm-timeout" || Name == "--log" ||
                                Name == "--record" || Name == "--station" || Name == "--spool" ||
                                Name == "--records" || Name == "--since";
        const bool Flag = Name == "--manual" || Name == "--recovery" || Name == "--list-ports" ||
                          Name == "--probe" || Name == "--list-firmware" || Name == "--json" || Name == "--watch";
        if (!TakesValue && !Flag) {
            if (Name.starts_with("-"))
                return Fail("unknown option " + Name);
            return Fail("unexpected argument '" + Name + "'");
        }
        if (Flag && Inline)
            return Fail(Name + " takes no value");
        std::string Value;
        if (TakesValue) {
            if (Inline) {
                Value = *Inline;
            } else if (i + 1 < Arguments.size() && !Arguments[i + 1].starts_with("--")) {
                Value = Arguments[++i];
            } else {
                return Fail(Name + " needs a value");
            }
            if (Value.empty())
                return Fail(Name + " needs a value");
        }

        std::string Error;
        if (Name == "--device") {
            const std::string V = Lower(Value);
            if (V == "veltrac")
                O.Device = TCliDevice::Veltrac;
            else if (V == "egps")
                O.Device = TCliDevice::ExternalGPS;
            else if (V == "auto")
                O.Device = TCliDevice::Auto;
            else
                return Fail("--device: '" + Value + "' is not a device type (veltrac, egps or auto)");
        } else if (Name == "--port") {
            const std::string V = Lower(Value);
            if (V == "auto" || V == "all") {
                if (O.PortSearch != TCliPortSearch::None)
                    return Fail("--port auto and --port all are given once");
                O.PortSearch = V == "auto" ? TCliPortSearch::One : TCliPortSearch::All;
                continue;
            }
            TCliPort Port;
            if (!ParsePort(Value, Port, Error))
                return Fail(Error);
            // The same port twice is one port.
            if (std::find(O.Ports.begin(), O.Ports.end(), Port) == O.Ports.end())
                O.Ports.push_back(Port);
            if (O.Ports.size() > static_cast<std::size_t>(MaxPorts))
                return Fail("--port: at most " + std::to_string(MaxPorts) + " ports in one command");
        } else if (Name == "--image") {
            O.ImageFile = Value;
        } else if (Name == "--timeout") {
            if (!ParseSeconds(Name, Value, true, O.TimeoutSeconds, Error))
                return Fail(Error);
        } else if (Name == "--confirm-timeout") {
            if (!ParseSeconds(Name, Value, false, O.ConfirmTimeoutSeconds, Error))
                return Fail(Error);
        } else if (Name == "--log") {
            O.LogFile = Value;
        } else if (Name == "--record" || Name == "--records") {
            const TDestinationParse D = ParseRecordDestination(Value);
            if (!D.Ok())
                return Fail(Name + ": " + D.Error);
            (Name == "--record" ? O.Record : O.Records) = Value;
            O.RecordTo = D.Destination;
        } else if (Name == "--spool") {
            O.Spool = Value;
        } else if (Name == "--since") {
            O.Since = QDate::fromString(QString::fromStdString(Value), Qt::ISODate);
            if (!O.Since.isValid())
                return Fail("--since: '" + Value + "' is not a date (yyyy-mm-dd)");
        } else if (Name == "--station") {
            if (Value.find_first_of("\r\n") != std::string::npos)
                return Fail("--station: the text must be one line");
            O.Station = Value;
        } else if (Name == "--manual") {
            O.Manual = true;
        } else if (Name == "--recovery") {
            O.Recovery = true;
        } else if (Name == "--list-ports") {
            O.ListPorts = true;
        } else if (Name == "--probe") {
            O.Probe = true;
        } else if (Name == "--list-firmware") {
            O.ListFirmware = true;
        } else if (Name == "--json") {
            O.Json = true;
        } else if (Name == "--watch") {
            O.Watch = true;
        }
    }

    if (O.Probe && !O.ListPorts)
        return Fail("--probe goes with --list-ports");
    if (Seen.count("--since") && O.Records.empty())
        return Fail("--since goes with --records");
    if (Seen.count("--spool") && O.Record.empty())
        return Fail("--spool goes with --record");
    if (!O.Records.empty()) {
        for (const char* Other : {"--watch", "--device", "--port", "--manual", "--image", "--recovery", "--timeout",
                                  "--confirm-timeout", "--log", "--record", "--list-ports", "--probe",
                                  "--list-firmware"})
            if (Seen.count(Other))
                return Fail(std::string("--records reads the records; it does not take ") + Other);
        return R;
    }
    if (O.ListOnly()) {
        for (const char* Update : {"--watch", "--device", "--port", "--manual", "--image", "--recovery", "--timeout",
                                   "--confirm-timeout", "--log", "--record", "--spool", "--station"})
            if (Seen.count(Update) && !(O.Probe && std::string(Update) == "--device"))
                return Fail(std::string(O.ListPorts ? "--list-ports" : "--list-firmware") +
                            " does not take " + Update);
        // Probing asks both device types unless told which.
        if (O.Probe && !Seen.count("--device"))
            O.Device = TCliDevice::Auto;
        return R;
    }
    if (O.Watch) {
        // A station finds its devices itself, on the ports named or on every candidate.
        if (O.PortSearch == TCliPortSearch::One)
            return Fail("--watch updates every device that is plugged in: --port auto takes one");
        O.PortSearch = TCliPortSearch::None;
        if (!Seen.count("--device"))
            O.Device = TCliDevice::Auto;
    }
    if (O.PortSearch != TCliPortSearch::None && !O.Ports.empty())
        return Fail("--port auto and --port all find the ports themselves: no other --port beside them");
    if (!O.Ports.empty()) {
        O.PortNumber = O.Ports.front().Number;
        O.PortPath = O.Ports.front().Path;
    }
    if (!O.PortGiven())
        return Fail("no port given: --port N (a COM number, see --list-ports) or --port PATH");
    if (O.Recovery && !O.ImageFile.empty())
        return Fail("--recovery and --image are two different updates; give one of them");
    if (O.Recovery && O.Manual)
        return Fail("--recovery goes through the automatic choice of the image, which --manual switches off");
    return R;
}

std::string CliUsage()
{
    return "usage: veltrac-gnss-update-cli --port N|PATH [--port N|PATH ...] [--device veltrac|egps|auto]\n"
           "                               [--manual | --image FILE | --recovery]\n"
           "                               [--timeout SECONDS] [--confirm-timeout SECONDS] [--log FILE] "
           "[--json]\n"
           "                               [--record DEST [--spool PATH]] [--station TEXT]\n"
           "       veltrac-gnss-update-cli --port auto|all [--device veltrac|egps|auto] [the options above]\n"
           "       veltrac-gnss-update-cli --watch [--port N|PATH ...] [--device veltrac|egps|auto]\n"
           "                               [the options above]\n"
           "       veltrac-gnss-update-cli --list-ports [--probe [--device veltrac|egps|auto]] [--json]\n"
           "       veltrac-gnss-update-cli --list-firmware [--json]\n"
           "       veltrac-gnss-update-cli --records DEST [--since DATE] [--station TEXT] [--json]\n"
           "       veltrac-gnss-update-cli --help | --version\n";
}

std::string CliHelp()
{
    std::string H =
        "Brings the GNSS receiver of a Veltrac tracking unit, or of an External GPS module, to the\n"
        "receiver firmware this tool carries, over a serial port. It does what the window\n"
        "veltrac-gnss-update does after \"Open\", without a display.\n\n";
    H += CliUsage();
    H += "\nOptions:\n"
         "  --device veltrac|egps|auto\n"
         "                         the device type: a Veltrac tracking unit (default) or an External\n"
         "                         GPS module; auto: each port is probed first and its device's\n"
         "                         answer tells which it is (a named port where nothing answers\n"
         "                         ends the command with exit code 11)\n"
         "  --port N               the port with COM number N (COM5 and com5 work too); --list-ports\n"
         "                         shows the numbers\n"
         "  --port PATH            a device path instead, for example /dev/ttyUSB0\n"
         "                         Given several times (at most 64), every port's device is updated\n"
         "                         at once, each in a run of its own; the same port named twice\n"
         "                         counts once. On a terminal a table shows every port; otherwise\n"
         "                         each line begins with its port (\"COM 5: \"), each --json event\n"
         "                         names \"com\" and \"device_path\"; a summary ends the output\n"
         "  --port auto|all        find the port by probing (see Probing below) the USB serial\n"
         "                         adapters, or every port of VELTRAC_COM_DIR when it is set, never\n"
         "                         /dev/ttyS*; ports in use are skipped. auto takes the one port\n"
         "                         whose device answers; with none, or more than one, the command\n"
         "                         lists what answered where and ends with exit code 11. all takes\n"
         "                         every port whose device answers, as several --port\n"
         "  --watch                station: runs until Ctrl-C and updates each device found on the\n"
         "                         ports --port all would probe (or on the ports named), those\n"
         "                         plugged in at the start and those plugged in later, several at\n"
         "                         once. A device that finished is left alone while it stays on\n"
         "                         its port (its row says \"unplug it\"). Ports without a run are\n"
         "                         probed again every 5 s, so a new device on an adapter that stays\n"
         "                         plugged in is found too. A port that returns while its receiver\n"
         "                         may be programming is followed to the new version, never sent\n"
         "                         the image again. --device is auto unless given; --timeout bounds\n"
         "                         each device's run. The first Ctrl-C takes no new devices and\n"
         "                         waits for receivers that program, the second ends at once\n"
         "  --manual               automatic choice of the receiver image off (the window's /MANUAL):\n"
         "                         the versions are read and shown, nothing is sent\n"
         "  --image FILE           custom update: once the receiver's version is read, send FILE\n"
         "                         instead of the tool's image (automatic choice off)\n"
         "  --recovery             forced recovery of a receiver that cannot report its version (an\n"
         "                         External GPS module, or a unit with hardware 2e1)\n"
         "  --timeout SECONDS      bound for the whole run (default 1800; 0: none); when it expires\n"
         "                         the link is closed and the exit code says so (the device is\n"
         "                         retried without limit). While the receiver programs, the run\n"
         "                         warns and waits for the device instead\n"
         "  --confirm-timeout SECONDS\n"
         "                         after the transfer, how long the device may show no sign of\n"
         "                         progress before the run ends \"sent, not confirmed\" (default 120)\n"
         "  --log FILE             write every frame to and from the device, with a time stamp;\n"
         "                         with several ports one file each, FILE.com5 and so on; with\n"
         "                         --watch one a device, FILE.com5.123456 (.2, .3 for a next run)\n"
         "  --record DEST          record every run at DEST: a FILE gets each run's result (the\n"
         "                         --json result line) appended, one line a run, several programs\n"
         "                         may share it; sqlite:PATH (or a PATH ending .sqlite, .sqlite3,\n"
         "                         .db) a row a run in an SQLite file; postgresql://USER@HOST/DB\n"
         "                         (a libpq URI; .pgpass and the PG* variables work) a row a run in\n"
         "                         a database a line of stations shares, through a local spool. A\n"
         "                         destination that cannot be used ends the command before any\n"
         "                         device is touched (exit code 2)\n"
         "  --spool PATH           with a PostgreSQL --record: where records wait until the server\n"
         "                         takes them (default $XDG_DATA_HOME/veltrac-gnss-update/spool.sqlite);\n"
         "                         at its end the command waits at most 10 s for them, the next start\n"
         "                         forwards what is left first\n"
         "  --station TEXT         the station or line named in every record\n"
         "  --records DEST         instead of a run: what DEST holds, per station and day (local\n"
         "                         time) devices updated, up to date and failed, the receiver\n"
         "                         versions in the field and the last failures\n"
         "  --since DATE           with --records: from DATE on (yyyy-mm-dd); --station TEXT: that\n"
         "                         station's only\n"
         "  --json                 one JSON object per line on stdout for each state change, display\n"
         "                         change (at most ten a second), the transfer's progress and the\n"
         "                         result, instead of text\n"
         "  --list-ports           list the COM numbers with their device paths and states\n"
         "  --probe                with --list-ports: probe the ports --port auto would and list\n"
         "                         what answered on each (veltrac and egps unless --device says)\n"
         "  --list-firmware        list the firmware this tool carries\n"
         "  --help, --version\n"
         "\nThe port map: COM numbers follow Wine's numbering of /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*;\n"
         "a folder named by VELTRAC_COM_DIR holding links comN -> device replaces it.\n"
         "\nProbing (--port auto|all, --device auto, --list-ports --probe) changes nothing on the\n"
         "device. At 9600 baud a module is sent its identify command once and given 1.6 s (a module\n"
         "whose loader asks for controller firmware is recognised and not served); where nothing\n"
         "answered, a unit is sent \"_CONFIGB\" and a carriage return once and given 1.4 s for its\n"
         "unit information. Nothing else is sent. At most 3 s a port, all ports at once;\n"
         "--device veltrac asks only the unit's question, --device egps only the module's.\n"
         "\nExit codes:\n";
    for (const TExitCode& I : ExitCodes()) {
        std::string Code = std::to_string(I.Code);
        H += "  " + Code + std::string(5 - Code.size(), ' ') + I.Meaning + "\n";
    }
    return H;
}
