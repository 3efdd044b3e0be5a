// veltrac-devsim: a simulated Veltrac unit or External GPS module on a pty, for
// running the real tool (window or command line) without hardware.
#include "tools/devsim/GpsModule.h"
#include "tools/devsim/VeltracUnit.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unistd.h>

using namespace devsim;

namespace
{

const char* const HelpText = R"(Usage: veltrac-devsim veltrac|egps [options]

Simulates a Veltrac tracking unit ("veltrac") or an External GPS module ("egps")
on a pseudo-terminal and prints what the device does as it happens. Ctrl-C ends
it and prints what the device ended up with.

Where the device is plugged in:
  --com N                 plug in as COM N: a link comN -> the pty in the
                          port-map folder, which the tool lists as "COM N"
  --com-dir DIR           the port-map folder (default: $VELTRAC_COM_DIR); the
                          tool must run with VELTRAC_COM_DIR set to the same folder
  Without --com the pty path is printed; open it directly.
  --tty PATH              run on the real serial device PATH instead of a pty
                          (e.g. /dev/ttyUSB1, wired to the tool's adapter by a
                          null-modem cable): rate changes, draining and adapter
                          latency are then the hardware's own. Not with --com,
                          --pace or --adapter-latency, which model a line

Several devices:
  --count K               K devices of the same kind and settings (1 to 32,
                          default 1) on COM N, N+1, ..., N+K-1 (needs --com),
                          each on a pty of its own. The I-th device (I from 1)
                          is unit --id + I-1 or module --module-id + I-1 and
                          draws its faults from --seed + I-1. Its event lines
                          start "COM n: ", its summary at exit is a block
                          headed "COM n:", and --save-image/--save-firmware
                          FILE.EXT write FILE-comn.EXT
  --on I OPTION [VALUE]   one misbehaviour option (those under "Misbehaviour"
                          below) for the I-th device alone, on top of what is
                          given for all; e.g. --count 4 --on 2 --drop-replies
                          0.02 --on 4 --hang-up eeprom:300

Veltrac unit:
  --class N               unit class (default 7)
  --id N                  unit ID, decimal (default 123456)
  --version V             unit firmware version: MAJOR.MINOR[.REV][LETTER],
                          e.g. 2.40, 2.31o, 2.40.03b (default 2.40)
  --hex-type HEX          type code (default 0000)
  --max-length N          most payload bytes per command (default 250)
  --hardware HEX          hardware byte (default 25, shown 2e5; 21 = 2e1)
  --hardware-rev N        hardware revision (default 3)
  --hardware-id N         hardware id its own firmware must carry (default 0: any)
  --container C|V|R       what it reads from its EEPROM: C packed "GPSz",
                          V plain "GPSz", R (or any other letter) raw image
                          (default C)
  --eeprom-address HEX    image address in the EEPROM (default 10000)
  --eeprom-size N         EEPROM size in bytes (default 2097152)
  --no-receiver-updates   parameter 65352 answers an empty value
  --no-gps-resume         GPS reports stay off after programming
  --no-gps-while-programming
                          no GPS reports while the receiver programs (asked
                          for, they come once it has ended)
  --no-firmware           refuses its own firmware update
  --firmware-width W      auto, narrow or wide block requests (default auto)
  --new-version V         version after its own update (default: minor + 1)
  --gps-interval MS       GPS report period (default 1000)
  --off-ms MS             after TurnOff the unit stays off this long (default 3000)
  --no-echo               does not echo the wake-up text

External GPS module:
  --module-id HEX         module ID, 8 hex digits (default 00C0FFEE)
  --module-version X.YY   controller version (default 2.10; below 2.00 the tool
                          updates the controller first)
  --module-name TEXT      module name (default EGPS-3339)
  --updated-version X.YY  controller version after its update (default: the
                          version the firmware it received names, else 2.00)
  --in-loader             the controller asks for its firmware from the start
  --dots N                preparation dots before "R" 01 (default 8)
  --no-final-status       no status frame after the last block
  --status-ff P           share of blocks acknowledged with FF instead of 01

Receiver (both devices):
  --receiver TEXT         receiver version text
                          (default AXN_3.8_3333_15043022,3424,MC-GG,1.0)
  --receiver-after TEXT   version after programming (default: the text in the
                          image header at offset 16)
  --unreadable            the receiver cannot report its version

End of a transfer (the defaults are those of real devices):
  --programming-ms N      time the receiver takes to program (default 5000)
  --program-gap MS        unit: after acknowledging 65352 := 1 it begins
                          programming MS ms later, answering 65354 with the
                          old version meanwhile (default 200)
  --busy-answer A         what a version question (unit: parameter 65354,
                          module: "Q") gets while the receiver programs:
                          old (the version it still runs), none (no answer)
                          or empty (an empty text) (default old)
  --programming-at-start MS
                          unit: starts with its receiver programming, as a
                          unit that kept its own power while the adapter
                          dropped out or the tool was ended at a programming
                          step: the programming ends MS ms after devsim
                          starts (it began --programming-ms before its end,
                          so its logger status starts partway), from an
                          image already in its EEPROM whose version is
                          --receiver-after (needed), which the receiver
                          reports once it has ended. Meanwhile EEPROM writes
                          are refused. A real unit shows it either way:
                            GPS reports go on, 65354 answers the old version
                            (the defaults), or
                            --no-gps-while-programming --busy-answer empty:
                            no GPS reports, 65354 answers empty
  --last-ack-wait MS      module: after the last block's status it stays at
                          57600 until the tool's raw acknowledgement comes or
                          MS ms pass, then 9600 (default 500; 0: 9600 at once)
  --programmed-status     module: status "S"/"T" 02 (the last block's kind)
                          when programming is done (default: none)
  --wrong-rate W          bytes sent while the tool's port and the device run
                          at different rates: garbage (arrive as garbage, one
                          byte per byte at the higher rate, one per rate ratio
                          at the lower) or lost (default garbage)
  --fast                  the quick end of earlier versions: programming 2000
                          ms (unit) / 500 ms (module) at once after 65352 := 1,
                          empty answer while programming, module at 9600 right
                          after the last status, bytes at a wrong rate lost.
                          Options after it change single settings again

Presets (set the options above for the special cases):
  --preset 2.31o          unit firmware 2.31 with revision letter o
  --preset mc-gla         receiver reports module type MC-GLA
  --preset eva            receiver "EVA-M8_3.01_0000,1000,EVA-M8,1.0" (no +F)
  --preset eva-f          receiver "EVA-M8_3.01_0000,1000,EVA-M8,1.0+F"
  --preset unreadable     receiver cannot report its version (unit: hardware 2e1)
  --preset no-updates     unit without receiver updates
  --preset old-controller module controller 1.99

Misbehaviour (seeded, reproducible):
  --seed N                seed of every fault draw and of the garbage bytes
                          at a wrong rate (default 1)
  --drop-replies P        share of answers not sent (P from 0 to 1)
  --drop-commands P       share of received commands ignored
  --drop NAME[:COUNT]     ignore one command by name COUNT times (default 1,
                          -1 = always). Unit: wakeup, version, param, param65352,
                          param65354, setparam, program, gps, eeprom, speed,
                          firmware, logger, keepalive, off, end. Module: identify,
                          controller, receiver, Q, R, block, S, T
  --refuse-writes P       share of EEPROM writes answered 00 (unit) or of blocks
                          answered status 02 (module)
  --corrupt-rx P          share of received bytes altered
  --corrupt-tx P          share of sent bytes altered
  --late P[:MS]           share of answers held back MS ms (default 1000)
  --pace                  bytes take their real time on the line (10 bits each
                          at the device's baud rate)
  --adapter-latency MS    a USB serial adapter between device and tool: bytes
                          to the tool are held until MS ms after the first
                          of a burst, or go once a USB packet is full, as an
                          FTDI chip's latency timer holds them (16 is its
                          default, 1 what low-latency mode sets; default 0:
                          no adapter)
  --adapter-packet N      payload bytes of the adapter's USB packet (default
                          62: 64-byte packets with 2 status bytes)
  --hang-up POINT[:N]     close the pty when POINT is reached the N-th time
                          (default 1). Unit: wakeup, version, eeprom, program,
                          logger, programming (as the receiver begins to
                          program: it programs on without the line),
                          programmed, firmware, block, param65352,
                          param65354.
                          Module: identify, controller, Q, R, block,
                          programmed. Both: ms:T (T ms after the first byte)
  --replug-after MS       after a hang-up, plug a new pty in after MS ms

Output:
  --save-image FILE       at exit, write the receiver image it was given
  --save-firmware FILE    at exit, write the own/controller firmware it pulled
  --quiet                 print only the summaries (at exit, and of each
                          device exchanged out by SIGUSR1)
  --help                  this text

Signals:
SIGUSR1 moves the cable on to the next device, as at a station that swaps the
device on a USB adapter left plugged in: on every line the device is replaced
by a freshly switched-on one of the same settings whose unit ID (module ID)
and fault seed are the old one's plus K (--count, default 1), so no two
devices of the run ever share an ID. The pty, the COM link and the tool's open
port stay as they are (no hang-up), with the rate the tool set, pacing and the
adapter. The new device is idle (not woken), at its base rate, with its
receiver at --receiver and not programming, a blank EEPROM, its own firmware
at the configured version and its counts from zero; bytes on their way to the
old device are lost. It prints "cable moved to the next device: unit N" (module: its ID in
hex), then the old device's summary, headed "unit N (exchanged out):" on a
line of its own. The summary at exit is then the new device's, and
--save-image and --save-firmware write what the device on the cable at exit
holds. SIGINT (Ctrl-C) and SIGTERM end it.
)";

[[noreturn]] void Fail(const std::string& Msg)
{
    std::cerr << "veltrac-devsim: " << Msg << "\n(try --help)\n";
    std::exit(2);
}

long Number(const std::string& Opt, const std::string& V, int Base = 10, long Min = 0, long Max = 0x7FFFFFFF)
{
    char* End = nullptr;
    errno = 0;
    const long N = std::strtol(V.c_str(), &End, Base);
    if (V.empty() || *End || errno || N < Min || N > Max)
        Fail("bad value for " + Opt + ": '" + V + "'");
    return N;
}

// "VALUE:N": cuts ":N" off V and returns N (Otherwise when V has no ":").
long Suffix(const std::string& Opt, std::string& V, long Otherwise, long Min, long Max)
{
    const auto C = V.find(':');
    if (C == std::string::npos)
        return Otherwise;
    const long N = Number(Opt, V.substr(C + 1), 10, Min, Max);
    V.resize(C);
    return N;
}

double Share(const std::string& Opt, const std::string& V)
{
    char* End = nullptr;
    const double D = std::strtod(V.c_str(), &End);
    if (V.empty() || *End || D < 0 || D > 1)
        Fail("bad share for " + Opt + ": '" + V + "' (0 to 1)");
    return D;
}

struct Version {
    uint8_t Major = 0, Minor = 0, Revision = 0;
    char Letter = 0;
};

Version ParseVersion(const std::string& Opt, const std::string& V)
{
    Version R;
    std::size_t i = 0;
    auto Digits = [&](long Max) {
        const std::size_t S = i;
        while (i < V.size() && std::isdigit(static_cast<unsigned char>(V[i])))
            ++i;
        if (i == S)
            Fail("bad version for " + Opt + ": '" + V + "'");
        return static_cast<uint8_t>(Number(Opt, V.substr(S, i - S), 10, 0, Max));
    };
    R.Major = Digits(255);
    if (i >= V.size() || V[i] != '.')
        Fail("bad version for " + Opt + ": '" + V + "' (MAJOR.MINOR)");
    ++i;
    R.Minor = Digits(99);
    if (i < V.size() && V[i] == '.') {
        ++i;
        R.Revision = Digits(99);
    }
    if (i < V.size() && std::isalpha(static_cast<unsigned char>(V[i])))
        R.Letter = V[i++];
    if (i != V.size())
        Fail("bad version for " + Opt + ": '" + V + "'");
    return R;
}

// The options under "Misbehaviour": the ones --on aims at one device. False
// when Opt is not one of them; Value() takes the option's value.
template <class ValueFn> bool FaultOption(const std::string& Opt, ValueFn Value, Faults& F, Adapter& Adp)
{
    if (Opt == "--seed") {
        F.Seed = static_cast<uint32_t>(Number(Opt, Value(), 10, 0, 0x7FFFFFFF));
    } else if (Opt == "--drop-replies") {
        F.DropReplies = Share(Opt, Value());
    } else if (Opt == "--drop-commands") {
        F.DropCommands = Share(Opt, Value());
    } else if (Opt == "--drop") {
        std::string V = Value();
        F.DropNamedCount = static_cast<int>(Suffix(Opt, V, 1, -1, 1000000));
        if (V.empty())
            Fail("--drop needs a command name");
        F.DropNamed = V;
    } else if (Opt == "--refuse-writes") {
        F.RefuseWrites = Share(Opt, Value());
    } else if (Opt == "--corrupt-rx") {
        F.CorruptRx = Share(Opt, Value());
    } else if (Opt == "--corrupt-tx") {
        F.CorruptTx = Share(Opt, Value());
    } else if (Opt == "--late") {
        std::string V = Value();
        F.LateMs = static_cast<int>(Suffix(Opt, V, F.LateMs, 0, 600000));
        F.LateReplies = Share(Opt, V);
    } else if (Opt == "--pace") {
        F.Pace = true;
    } else if (Opt == "--adapter-latency") {
        Adp.LatencyMs = static_cast<int>(Number(Opt, Value(), 10, 0, 255));
    } else if (Opt == "--adapter-packet") {
        Adp.PacketBytes = static_cast<std::size_t>(Number(Opt, Value(), 10, 1, 4096));
    } else if (Opt == "--hang-up") {
        F.HangUpAt = Value();
    } else if (Opt == "--replug-after") {
        F.ReplugAfterMs = static_cast<int>(Number(Opt, Value(), 10, 0, 3600000));
    } else {
        return false;
    }
    return true;
}

// An option given with --on I: kept as typed, applied to the I-th device
// once the settings for all devices are known, so the order does not matter.
struct AimedOption {
    int Device = 0;
    std::vector<std::string> Words; // the option and its value, if it takes one
};

constexpr int MaxCount = 32;

// FILE.EXT -> FILE-comN.EXT, for the files of several devices.
std::string PerDeviceFile(const std::string& Path, int Com)
{
    if (Path.empty())
        return Path;
    const auto Slash = Path.rfind('/');
    const auto Dot = Path.rfind('.');
    const std::string Tag = "-com" + std::to_string(Com);
    if (Dot == std::string::npos || Dot == 0 || (Slash != std::string::npos && Dot <= Slash + 1))
        return Path + Tag;
    return Path.substr(0, Dot) + Tag + Path.substr(Dot);
}

void Save(const std::string& Path, const std::string& Data, const char* What)
{
    if (Path.empty())
        return;
    std::ofstream F(Path, std::ios::binary);
    F.write(Data.data(), static_cast<std::streamsize>(Data.size()));
    if (!F)
        std::cerr << "veltrac-devsim: cannot write " << What << " to " << Path << "\n";
    else
        std::cout << "wrote " << What << " (" << Data.size() << " bytes) to " << Path << "\n";
}

// What ended the link while the receiver programmed: harmful on a real device.
std::string EndsWhileProgramming(const std::vector<std::string>& Ends)
{
    if (Ends.empty())
        return "";
    std::string Line = "link ended while the receiver programmed:";
    for (const std::string& E : Ends)
        Line += " " + E + ";";
    Line.back() = '\n';
    return Line;
}

// What the tool did while the unit's receiver programmed, in every summary,
// so that "none" can be read off it as well.
std::string WhileProgramming(const UnitReport& R)
{
    std::string Text;
    if (R.ProgrammingAtStart)
        Text += "switched on with its receiver programming\n";
    if (R.Programming)
        Text += "the receiver was still programming at exit\n";
    Text += "while the receiver programmed: transfers started " +
            std::to_string(R.TransfersWhileProgramming) + ", speed switches " +
            std::to_string(R.SpeedSwitchesWhileProgramming) + ", EEPROM writes refused " +
            std::to_string(R.EepromWritesWhileProgramming) + ", program starts (65352 := 1) " +
            std::to_string(R.ProgramStartRepeats) + ", link ends " +
            std::to_string(R.EndsWhileProgramming.size()) + "\n";
    Text += "commands while the receiver programmed:";
    if (R.CommandsWhileProgramming.empty())
        Text += " none";
    for (const auto& [Cmd, N] : R.CommandsWhileProgramming) {
        char Id[8];
        std::snprintf(Id, sizeof Id, "%02X", static_cast<unsigned>(Cmd));
        Text += std::string(" ") + Id + " " + UnitCommandName(Cmd) + " x" + std::to_string(N) + ",";
    }
    if (Text.back() == ',')
        Text.pop_back();
    return Text + "\n";
}

std::string FirmwareImage(const PulledFirmware& F)
{
    return FirmwareBytes(F);
}

// One simulated device of the run, with the COM number it is plugged in as.
struct Plugged {
    int Com = 0;
    std::unique_ptr<VeltracUnit> Unit;
    std::unique_ptr<GpsModule> Module;
    SimDevice* Dev = nullptr;
};

// A device's summary: its own lines, then the line's.
void PrintCounts(const UnitReport& R)
{
    std::cout << "unit version " << R.VersionText << ", receiver \"" << R.ReceiverVersion << "\"\n"
              << "receiver programmed " << R.Programmings << " time(s), " << R.ProgrammingFailures
              << " refused" << (R.ProgrammingError.empty() ? "" : " (" + R.ProgrammingError + ")") << "\n"
              << "receiver image " << R.ReceiverImageSize << " bytes"
              << (R.ProgrammedFrom.empty() ? "" : ", last read as " + R.ProgrammedFrom) << "\n"
              << "EEPROM writes " << R.EepromWrites << ", re-sent " << R.EepromRewrites << ", refused "
              << R.EepromRefused << "\n"
              << "transfers started " << R.Transfers << ", receiver asked " << R.ReceiverQuestions
              << " time(s), " << R.BusyQuestions << " while programming\n"
              << "own firmware updates " << R.FirmwareUpdates << ", failed " << R.FirmwareFailures
              << (R.FirmwareError.empty() ? "" : " (" + R.FirmwareError + ")") << "\n"
              << "retries seen " << R.Retries() << "\n"
              << WhileProgramming(R) << EndsWhileProgramming(R.EndsWhileProgramming);
}

void PrintCounts(const ModuleReport& R)
{
    std::cout << "controller " << R.ControllerVersion << ", receiver \"" << R.ReceiverVersion << "\"\n"
              << "receiver programmed " << R.Programmings << " time(s), transfers refused "
              << R.TransferFailures << (R.TransferError.empty() ? "" : " (" + R.TransferError + ")") << "\n"
              << "image starts " << R.ImageStarts << ", transfers started " << R.Transfers
              << ", complete images received " << R.ImagesReceived << ", last status unacknowledged "
              << R.LastAckTimeouts << "\n"
              << "blocks " << R.BlocksReceived << ", repeated " << R.BlockRepeats << ", refused "
              << R.BlocksRefused << "\n"
              << "receiver asked " << R.VersionQuestions << " time(s), " << R.BusyQuestions
              << " while programming\n"
              << "controller updates " << R.ControllerUpdates << ", failed " << R.ControllerFailures << "\n"
              << "retries seen " << R.Retries() << "\n"
              << EndsWhileProgramming(R.EndsWhileProgramming);
}

void PrintCounts(const LineCounters& Ln)
{
    std::cout << "line: " << Ln.BytesIn << " bytes in, " << Ln.BytesOut << " out, " << Ln.BadFrames
              << " bad frames, " << Ln.PortCloses << " port closes, " << Ln.HangUps << " hang-ups\n"
              << "wrong rate: " << Ln.SpeedMismatchIn << " bytes in (" << Ln.GarbageIn << " garbage), "
              << Ln.SpeedMismatchOut << " out (" << Ln.GarbageOut << " garbage)\n";
}

// What the device ended up with, as printed at exit; the files it was asked
// to save are written between its lines and the line's.
void PrintReport(const Plugged& P, const std::string& SaveImage, const std::string& SaveFirmware)
{
    if (P.Unit) {
        const UnitReport R = P.Unit->Report();
        PrintCounts(R);
        Save(SaveImage, P.Unit->ReceiverImage(), "the receiver image");
        Save(SaveFirmware, FirmwareImage(P.Unit->Firmware()), "the pulled firmware");
        PrintCounts(R.Line);
    } else {
        const ModuleReport R = P.Module->Report();
        PrintCounts(R);
        Save(SaveImage, P.Module->ReceiverImage(), "the receiver image");
        Save(SaveFirmware, FirmwareImage(P.Module->Firmware()), "the pulled firmware");
        PrintCounts(R.Line);
    }
}

// The departed device's summary, printed when the cable moves on, headed
// "unit N (exchanged out):" (several devices: "COM n: unit N (exchanged out):").
template <class R> void PrintDeparted(const std::string& Head, const R& Report)
{
    std::cout << "\n" << Head << " (exchanged out):\n";
    PrintCounts(Report);
    PrintCounts(Report.Line);
    std::cout << std::endl;
}

// SIGUSR1: on every line the cable moves from its device to the next one of
// the same settings, Step IDs and seeds on (--count, so that no two devices of
// the run ever share an ID). Refused as a whole when an ID would run past the
// last one.
void MoveCables(std::vector<Plugged>& Devices, int Step, bool Fleet, std::mutex& OutMutex)
{
    const auto S = static_cast<uint32_t>(Step);
    for (const Plugged& P : Devices) {
        const bool Past =
            P.Unit ? P.Unit->Config().UnitId > 0xFFFFFFu - S : P.Module->Config().ModuleId > 0xFFFFFFFFu - S;
        if (Past) {
            std::lock_guard<std::mutex> L(OutMutex);
            std::cerr << "veltrac-devsim: the cable stays: "
                      << (P.Unit ? "unit " + std::to_string(P.Unit->Config().UnitId) + " + " +
                                       std::to_string(Step) + " is past the last unit ID, 16777215"
                                 : "module " + ModuleIdText(P.Module->Config().ModuleId) + " + " +
                                       std::to_string(Step) + " is past the last module ID, FFFFFFFF")
                      << std::endl;
            return;
        }
    }
    for (const Plugged& P : Devices) {
        const std::string Prefix = Fleet ? "COM " + std::to_string(P.Com) + ": " : "";
        const uint32_t Seed = P.Dev->GetFaults().Seed + S;
        if (P.Unit) {
            UnitConfig Next = P.Unit->Config();
            const uint32_t Gone = Next.UnitId;
            Next.UnitId += S;
            Next.ProgrammingAtStartMs = 0; // freshly switched on
            if (const auto Departed = P.Unit->Exchange(Next, Seed)) {
                std::lock_guard<std::mutex> L(OutMutex);
                PrintDeparted(Prefix + "unit " + std::to_string(Gone), *Departed);
            }
        } else {
            ModuleConfig Next = P.Module->Config();
            const uint32_t Gone = Next.ModuleId;
            Next.ModuleId += S;
            if (const auto Departed = P.Module->Exchange(Next, Seed)) {
                std::lock_guard<std::mutex> L(OutMutex);
                PrintDeparted(Prefix + "module " + ModuleIdText(Gone), *Departed);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << HelpText;
        return 0;
    }
    if (argc < 2)
        Fail("say which device: veltrac or egps");
    const std::string Kind = argv[1];
    if (Kind != "veltrac" && Kind != "egps")
        Fail("unknown device '" + Kind + "': veltrac or egps");
    const bool IsUnit = Kind == "veltrac";

    UnitConfig U;
    ModuleConfig M;
    Faults F;
    Adapter Adp;
    int Com = 0;
    int Count = 1;
    bool CountGiven = false;
    std::vector<AimedOption> Aimed;
    std::string ComDir, SaveImage, SaveFirmware, Tty;
    bool Quiet = false;
    std::string Receiver, ReceiverAfter;
    bool Unreadable = false;

    for (int a = 2; a < argc; ++a) {
        const std::string Opt = argv[a];
        auto Arg = [&]() -> std::string {
            if (a + 1 >= argc)
                Fail(Opt + " needs a value");
            return argv[++a];
        };
        auto UnitOnly = [&] {
            if (!IsUnit)
                Fail(Opt + " is an option of the Veltrac unit");
        };
        auto ModuleOnly = [&] {
            if (IsUnit)
                Fail(Opt + " is an option of the External GPS module");
        };
        if (Opt == "--help" || Opt == "-h") {
            std::cout << HelpText;
            return 0;
        } else if (Opt == "--com") {
            Com = static_cast<int>(Number(Opt, Arg(), 10, 1, 255));
        } else if (Opt == "--com-dir") {
            ComDir = Arg();
        } else if (Opt == "--tty") {
            Tty = Arg();
            if (Tty.empty())
                Fail("--tty needs a device path");
        } else if (Opt == "--class") {
            UnitOnly();
            U.Class = static_cast<uint8_t>(Number(Opt, Arg(), 10, 0, 255));
        } else if (Opt == "--id") {
            UnitOnly();
            U.UnitId = static_cast<uint32_t>(Number(Opt, Arg(), 10, 0, 0xFFFFFF));
        } else if (Opt == "--version") {
            UnitOnly();
            const Version V = ParseVersion(Opt, Arg());
            U.VersionMajor = V.Major;
            U.VersionMinor = V.Minor;
            U.Revision = V.Revision;
            U.RevisionLetter = V.Letter;
        } else if (Opt == "--hex-type") {
            UnitOnly();
            U.HexType = static_cast<uint16_t>(Number(Opt, Arg(), 16, 0, 0xFFFF));
        } else if (Opt == "--max-length") {
            UnitOnly();
            U.MaxLength = static_cast<uint8_t>(Number(Opt, Arg(), 10, 5, 255));
        } else if (Opt == "--hardware") {
            UnitOnly();
            U.Hardware = static_cast<uint8_t>(Number(Opt, Arg(), 16, 0, 0xFF));
        } else if (Opt == "--hardware-rev") {
            UnitOnly();
            U.HardwareRev = static_cast<uint8_t>(Number(Opt, Arg(), 10, 0, 255));
        } else if (Opt == "--hardware-id") {
            U.HardwareId = M.HardwareId = static_cast<uint32_t>(Number(Opt, Arg(), 10, 0, 0xFFFF));
        } else if (Opt == "--container") {
            UnitOnly();
            const std::string V = Arg();
            if (V.size() != 1)
                Fail("bad value for --container: '" + V + "' (one letter)");
            U.Container = V[0];
        } else if (Opt == "--eeprom-address") {
            UnitOnly();
            U.EepromAddress = static_cast<uint32_t>(Number(Opt, Arg(), 16, 0, 0x7FFFFFFF));
        } else if (Opt == "--eeprom-size") {
            UnitOnly();
            U.EepromSize = static_cast<uint32_t>(Number(Opt, Arg(), 10, 1024, 64 << 20));
        } else if (Opt == "--no-receiver-updates") {
            UnitOnly();
            U.ReceiverUpdates = false;
        } else if (Opt == "--programming-ms") {
            U.ProgrammingMs = M.ProgrammingMs = static_cast<int>(Number(Opt, Arg(), 10, 0, 600000));
        } else if (Opt == "--program-gap") {
            UnitOnly();
            U.ProgramGapMs = static_cast<int>(Number(Opt, Arg(), 10, 0, 600000));
        } else if (Opt == "--busy-answer") {
            const std::string V = Arg();
            const BusyAnswer A = V == "old"    ? BusyAnswer::OldVersion
                                 : V == "none" ? BusyAnswer::None
                                 : V == "empty"
                                     ? BusyAnswer::Empty
                                     : (Fail("bad value for --busy-answer: '" + V + "' (old, none or empty)"),
                                        BusyAnswer::OldVersion);
            U.AnswerWhileProgramming = M.AnswerWhileProgramming = A;
        } else if (Opt == "--last-ack-wait") {
            ModuleOnly();
            M.LastAckWaitMs = static_cast<int>(Number(Opt, Arg(), 10, 0, 600000));
        } else if (Opt == "--programmed-status") {
            ModuleOnly();
            M.StatusWhenProgrammed = true;
        } else if (Opt == "--wrong-rate") {
            const std::string V = Arg();
            if (V != "garbage" && V != "lost")
                Fail("bad value for --wrong-rate: '" + V + "' (garbage or lost)");
            U.WrongRateGarbage = M.WrongRateGarbage = V == "garbage";
        } else if (Opt == "--fast") {
            U.ProgrammingMs = 2000;
            U.ProgramGapMs = 0;
            M.ProgrammingMs = 500;
            U.AnswerWhileProgramming = M.AnswerWhileProgramming = BusyAnswer::Empty;
            M.LastAckWaitMs = 0;
            U.WrongRateGarbage = M.WrongRateGarbage = false;
        } else if (Opt == "--programming-at-start") {
            UnitOnly();
            U.ProgrammingAtStartMs = static_cast<int>(Number(Opt, Arg(), 10, 1, 3600000));
        } else if (Opt == "--no-gps-while-programming") {
            UnitOnly();
            U.GpsWhileProgramming = false;
        } else if (Opt == "--no-gps-resume") {
            UnitOnly();
            U.ResumeGpsAfterProgramming = false;
        } else if (Opt == "--no-firmware") {
            UnitOnly();
            U.AcceptsFirmware = false;
        } else if (Opt == "--firmware-width") {
            const std::string V = Arg();
            const BlockWidth W =
                V == "auto"     ? BlockWidth::Auto
                : V == "narrow" ? BlockWidth::Narrow
                : V == "wide"   ? BlockWidth::Wide
                                : (Fail("bad value for --firmware-width: '" + V + "'"), BlockWidth::Auto);
            U.FirmwareWidth = M.FirmwareWidth = W;
        } else if (Opt == "--new-version") {
            UnitOnly();
            const Version V = ParseVersion(Opt, Arg());
            U.NewVersionMajor = V.Major;
            U.NewVersionMinor = V.Minor;
            U.NewRevisionLetter = V.Letter;
        } else if (Opt == "--gps-interval") {
            UnitOnly();
            U.GpsIntervalMs = static_cast<int>(Number(Opt, Arg(), 10, 50, 600000));
        } else if (Opt == "--off-ms") {
            UnitOnly();
            U.OffMs = static_cast<int>(Number(Opt, Arg(), 10, 0, 3600000));
        } else if (Opt == "--no-echo") {
            UnitOnly();
            U.EchoWakeup = false;
        } else if (Opt == "--module-id") {
            ModuleOnly();
            M.ModuleId = static_cast<uint32_t>(Number(Opt, Arg(), 16, 0, 0xFFFFFFFFL));
        } else if (Opt == "--module-version" || Opt == "--updated-version") {
            ModuleOnly();
            const Version V = ParseVersion(Opt, Arg());
            (Opt == "--module-version" ? M.VersionMajor : M.UpdatedMajor) = V.Major;
            (Opt == "--module-version" ? M.VersionMinor : M.UpdatedMinor) = V.Minor;
        } else if (Opt == "--module-name") {
            ModuleOnly();
            M.Name = Arg();
        } else if (Opt == "--in-loader") {
            ModuleOnly();
            M.StartInLoader = true;
        } else if (Opt == "--dots") {
            ModuleOnly();
            M.PrepareDots = static_cast<int>(Number(Opt, Arg(), 10, 0, 100000));
        } else if (Opt == "--no-final-status") {
            ModuleOnly();
            M.StatusAfterLastBlock = false;
        } else if (Opt == "--status-ff") {
            ModuleOnly();
            M.StatusFFShare = Share(Opt, Arg());
        } else if (Opt == "--receiver") {
            Receiver = Arg();
        } else if (Opt == "--receiver-after") {
            ReceiverAfter = Arg();
        } else if (Opt == "--unreadable") {
            Unreadable = true;
        } else if (Opt == "--preset") {
            const std::string P = Arg();
            if (P == "2.31o") {
                UnitOnly();
                U.VersionMajor = 2;
                U.VersionMinor = 31;
                U.Revision = 0;
                U.RevisionLetter = 'o';
            } else if (P == "mc-gla") {
                Receiver = "AXN_3.8_3333_15043022,3424,MC-GLA,1.0";
            } else if (P == "eva") {
                Receiver = "EVA-M8_3.01_0000,1000,EVA-M8,1.0";
            } else if (P == "eva-f") {
                Receiver = "EVA-M8_3.01_0000,1000,EVA-M8,1.0+F";
            } else if (P == "unreadable") {
                Unreadable = true;
                U.Hardware = 0x21;
            } else if (P == "no-updates") {
                UnitOnly();
                U.ReceiverUpdates = false;
            } else if (P == "old-controller") {
                ModuleOnly();
                M.VersionMajor = 1;
                M.VersionMinor = 99;
            } else {
                Fail("unknown preset '" + P + "'");
            }
        } else if (Opt == "--count") {
            const std::string V = Arg();
            const bool Digits =
                !V.empty() && V.size() <= 2 && V.find_first_not_of("0123456789") == std::string::npos;
            Count = Digits ? std::stoi(V) : 0;
            if (Count < 1 || Count > MaxCount)
                Fail("bad value for --count: '" + V + "' (1 to " + std::to_string(MaxCount) + " devices)");
            CountGiven = true;
        } else if (Opt == "--on") {
            AimedOption O;
            O.Device = static_cast<int>(Number(Opt, Arg(), 10, 1, MaxCount));
            if (a + 1 >= argc)
                Fail("--on " + std::to_string(O.Device) + " needs a misbehaviour option after it");
            const std::string Inner = argv[++a];
            O.Words.push_back(Inner);
            // Checked here, on settings thrown away, so a mistake is named where it is made.
            Faults Check;
            Adapter CheckAdp;
            auto Value = [&]() -> std::string {
                if (a + 1 >= argc)
                    Fail(Inner + " needs a value");
                O.Words.push_back(argv[++a]);
                return O.Words.back();
            };
            if (!FaultOption(Inner, Value, Check, CheckAdp))
                Fail("--on takes an option listed under Misbehaviour, not '" + Inner + "'");
            Aimed.push_back(std::move(O));
        } else if (FaultOption(Opt, Arg, F, Adp)) {
        } else if (Opt == "--save-image") {
            SaveImage = Arg();
        } else if (Opt == "--save-firmware") {
            SaveFirmware = Arg();
        } else if (Opt == "--quiet") {
            Quiet = true;
        } else {
            Fail("unknown option '" + Opt + "'");
        }
    }
    if (CountGiven && !Tty.empty())
        Fail("--count plugs in simulated devices as COM ports; --tty runs one device on a real line");
    if (CountGiven && Com == 0)
        Fail("--count needs --com N: the devices are plugged in as COM N, N+1, ...");
    if (Com + Count - 1 > 255)
        Fail("--com " + std::to_string(Com) + " --count " + std::to_string(Count) +
             ": COM numbers go up to 255");
    if (IsUnit && U.UnitId + static_cast<uint32_t>(Count - 1) > 0xFFFFFF)
        Fail("--id " + std::to_string(U.UnitId) + " --count " + std::to_string(Count) +
             ": unit IDs go up to 16777215");
    if (!IsUnit && M.ModuleId > 0xFFFFFFFFu - static_cast<uint32_t>(Count - 1))
        Fail("--module-id " + ModuleIdText(M.ModuleId) + " --count " + std::to_string(Count) +
             ": module IDs go up to FFFFFFFF");
    for (const AimedOption& O : Aimed)
        if (O.Device > Count)
            Fail("--on " + std::to_string(O.Device) + ": there " +
                 (Count == 1 ? "is one device" : "are " + std::to_string(Count) + " devices") + " (--count)");

    // Each device's faults and adapter: those for all, its seed moved on by
    // its place (the same seed would give every device the same draws), then
    // the options aimed at it.
    std::vector<Faults> DeviceFaults(static_cast<std::size_t>(Count), F);
    std::vector<Adapter> DeviceAdapters(static_cast<std::size_t>(Count), Adp);
    for (int I = 0; I < Count; ++I)
        DeviceFaults[static_cast<std::size_t>(I)].Seed = F.Seed + static_cast<uint32_t>(I);
    for (const AimedOption& O : Aimed) {
        std::size_t Next = 1;
        const auto I = static_cast<std::size_t>(O.Device - 1);
        FaultOption(
            O.Words[0], [&] { return O.Words[Next++]; }, DeviceFaults[I], DeviceAdapters[I]);
    }
    if (!Tty.empty() && (Com > 0 || DeviceFaults[0].Pace || DeviceAdapters[0].LatencyMs > 0))
        Fail(
            "--tty runs on a real line: --com, --pace and --adapter-latency model one and do not go with it");
    if (U.ProgrammingAtStartMs > 0 && ReceiverAfter.empty())
        Fail("--programming-at-start needs --receiver-after TEXT: the version the receiver reports once that "
             "programming has ended");
    if (!Receiver.empty())
        U.ReceiverVersion = M.ReceiverVersion = Receiver;
    if (!ReceiverAfter.empty())
        U.VersionAfterProgramming = M.VersionAfterProgramming = ReceiverAfter;
    if (Unreadable)
        U.ReceiverReadable = M.ReceiverReadable = false;

    // The signals are never delivered: blocked here, and in the devices'
    // threads, which inherit the mask, the main thread takes them one by one
    // with sigwait below, so nothing runs at an arbitrary moment of a thread.
    sigset_t Handled;
    sigemptyset(&Handled);
    for (const int Signal : {SIGINT, SIGTERM, SIGUSR1})
        sigaddset(&Handled, Signal);
    pthread_sigmask(SIG_BLOCK, &Handled, nullptr);

    // With several devices each line says whose it is; one device prints as it always has.
    const bool Fleet = Count > 1;
    std::mutex OutMutex;
    std::vector<Plugged> Devices(static_cast<std::size_t>(Count));
    for (int I = 0; I < Count; ++I) {
        Plugged& P = Devices[static_cast<std::size_t>(I)];
        P.Com = Com > 0 ? Com + I : 0;
        if (IsUnit) {
            UnitConfig C = U;
            C.UnitId += static_cast<uint32_t>(I);
            P.Unit = std::make_unique<VeltracUnit>(C);
            P.Dev = P.Unit.get();
        } else {
            ModuleConfig C = M;
            C.ModuleId += static_cast<uint32_t>(I);
            P.Module = std::make_unique<GpsModule>(C);
            P.Dev = P.Module.get();
        }
        SimDevice* Dev = P.Dev;
        if (!Dev->Ok()) {
            std::cerr << "veltrac-devsim: cannot make the pty: " << Dev->Error() << "\n";
            return 1;
        }
        if (!Quiet) {
            const std::string Prefix = Fleet ? "COM " + std::to_string(P.Com) + ": " : "";
            Dev->SetLogSink([&OutMutex, Prefix](const std::string& Line) {
                std::lock_guard<std::mutex> L(OutMutex);
                std::cout << Prefix << Line << std::endl;
            });
        }
        Dev->SetFaults(DeviceFaults[static_cast<std::size_t>(I)]);
        Dev->SetAdapter(DeviceAdapters[static_cast<std::size_t>(I)]);
        if (!Tty.empty()) {
            std::string Err;
            if (!Dev->UseTty(Tty, &Err)) {
                std::cerr << "veltrac-devsim: cannot use the serial device: " << Err << "\n";
                return 1;
            }
            std::lock_guard<std::mutex> L(OutMutex);
            std::cout << "on " << Tty << ": run the tool on the other end of the null-modem cable"
                      << std::endl;
        } else if (P.Com > 0) {
            std::string Err;
            if (!Dev->PlugAs(P.Com, ComDir, &Err)) {
                std::cerr << "veltrac-devsim: cannot plug in as COM " << P.Com << ": " << Err << "\n";
                return 1;
            }
            std::lock_guard<std::mutex> L(OutMutex);
            std::cout << "COM " << P.Com << " = " << Dev->ComLinkPath() << " -> " << Dev->SlavePath()
                      << std::endl;
        } else {
            std::lock_guard<std::mutex> L(OutMutex);
            std::cout << "open " << Dev->SlavePath() << std::endl;
        }
    }

    // SIGUSR1 moves the cables on; SIGINT and SIGTERM end the run.
    int Signal = 0;
    while (sigwait(&Handled, &Signal) == 0 && Signal == SIGUSR1)
        MoveCables(Devices, Count, Fleet, OutMutex);

    // Every device stops before the first summary, so no event line runs into them.
    for (Plugged& P : Devices) {
        P.Dev->SetLogSink(nullptr);
        P.Dev->Stop();
    }
    std::lock_guard<std::mutex> L(OutMutex);
    for (const Plugged& P : Devices) {
        std::cout << "\n";
        if (Fleet)
            std::cout << "COM " << P.Com << ":\n";
        PrintReport(P, Fleet ? PerDeviceFile(SaveImage, P.Com) : SaveImage,
                    Fleet ? PerDeviceFile(SaveFirmware, P.Com) : SaveFirmware);
    }
    return 0;
}
