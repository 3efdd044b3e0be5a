// A station updating a fleet: one veltrac-gnss-update-cli process updates the
// receivers of several simulated Veltrac units at once, one session per port,
// against veltrac-devsim pacing every byte at the line rate behind a USB
// adapter's 16 ms latency timer (an FTDI chip's default), the devices ending
// their transfers as real ones do. Before the fleet the same command runs on
// one unit alone.
//
// For each unit: the transfer time the tool reports against the wire time of
// the bytes it sent during the transfer (transfer_line_bytes, 10 bits each at
// line_rate), and their ratio bound/actual. The fleet's worst ratio beside the
// one-unit ratio says what updating units side by side costs each of them;
// the tool's CPU time (user + system, from wait4) over the run, per unit as a
// share of one core, what each session costs the station.
//
//   fleet_bench [--units K]      (1 to 32, default 8; one devsim process for all)
#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int FirstCom = 5;
constexpr int AdapterLatencyMs = 16;
constexpr int MaxUnits = 32;         // what one devsim process plugs in
constexpr int PlugTimeoutMs = 10000; // devsim's links appear within this
constexpr int RunTimeoutMs = 1800 * 1000;

std::string ReadFile(const std::string& Path)
{
    std::ifstream F(Path, std::ios::binary);
    std::ostringstream S;
    S << F.rdbuf();
    return S.str();
}

// The last Count lines of a file, for a run that went wrong.
void PrintTail(const char* What, const std::string& Path, std::size_t Count = 25)
{
    std::vector<std::string> Lines;
    std::istringstream Text(ReadFile(Path));
    for (std::string Line; std::getline(Text, Line);)
        Lines.push_back(Line);
    std::fprintf(stderr, "--- %s, last lines:\n", What);
    for (std::size_t I = Lines.size() > Count ? Lines.size() - Count : 0; I < Lines.size(); ++I)
        std::fprintf(stderr, "%s\n", Lines[I].c_str());
    std::fprintf(stderr, "--- end of %s\n", What);
}

bool Exists(const std::string& Path)
{
    struct stat St {
    };
    return ::lstat(Path.c_str(), &St) == 0;
}

// A program run with its output in files (a chatty child never blocks on a
// pipe) and its resource use taken from wait4 when it ends.
class Child
{
  public:
    Child(const char* Exe, const std::vector<std::string>& Args, const std::string& OutPath,
          const std::string& ErrPath)
        : FOut(OutPath), FErr(ErrPath)
    {
        std::vector<std::string> Argv{Exe};
        Argv.insert(Argv.end(), Args.begin(), Args.end());
        std::vector<char*> Raw;
        for (std::string& A : Argv)
            Raw.push_back(A.data());
        Raw.push_back(nullptr);
        FStarted = Clock::now();
        FPid = ::fork();
        if (FPid == 0) {
            const int Out = ::open(OutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int Err = ::open(ErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int In = ::open("/dev/null", O_RDONLY);
            if (Out < 0 || Err < 0 || In < 0)
                ::_exit(126);
            ::dup2(In, 0);
            ::dup2(Out, 1);
            ::dup2(Err, 2);
            ::execv(Raw[0], Raw.data());
            ::_exit(127);
        }
    }
    ~Child()
    {
        if (Running()) {
            ::kill(FPid, SIGKILL);
            Reap(0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return FPid > 0; }
    bool Running() { return FPid > 0 && !FEnded && !Reap(WNOHANG); }
    // Waits for the end; false when it did not end within TimeoutMs (then it is killed).
    bool Wait(int TimeoutMs)
    {
        const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
        while (Running()) {
            if (Clock::now() > Deadline) {
                ::kill(FPid, SIGKILL);
                Reap(0);
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return FPid > 0;
    }
    void Signal(int Number)
    {
        if (Running())
            ::kill(FPid, Number);
    }
    // 0..255 when it exited, 128 + the signal when one ended it.
    int ExitCode() const { return WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : 128 + WTERMSIG(FStatus); }
    double CpuSeconds() const
    {
        return static_cast<double>(FUsage.ru_utime.tv_sec + FUsage.ru_stime.tv_sec) +
               static_cast<double>(FUsage.ru_utime.tv_usec + FUsage.ru_stime.tv_usec) / 1e6;
    }
    double WallSeconds() const { return std::chrono::duration<double>(FEndedAt - FStarted).count(); }
    const std::string& OutPath() const { return FOut; }
    const std::string& ErrPath() const { return FErr; }

  private:
    bool Reap(int Options)
    {
        const pid_t P = ::wait4(FPid, &FStatus, Options, &FUsage);
        if (P != FPid)
            return false;
        FEnded = true;
        FEndedAt = Clock::now();
        return true;
    }

    std::string FOut, FErr;
    pid_t FPid = -1;
    bool FEnded = false;
    int FStatus = 0;
    rusage FUsage{};
    Clock::time_point FStarted, FEndedAt;
};

// A fleet of simulated units plugged in as COM FirstCom onwards, ended with Ctrl-C.
class Fleet
{
  public:
    Fleet(const std::string& Dir, int Units)
        : FDevsim(DEVSIM_EXE,
                  {"veltrac", "--com", std::to_string(FirstCom), "--count", std::to_string(Units),
                   "--com-dir", Dir, "--pace", "--adapter-latency", std::to_string(AdapterLatencyMs),
                   "--quiet"},
                  Dir + "/devsim.out", Dir + "/devsim.err")
    {
        const auto Deadline = Clock::now() + std::chrono::milliseconds(PlugTimeoutMs);
        for (int Com = FirstCom; Com < FirstCom + Units; ++Com) {
            const std::string Link = Dir + "/com" + std::to_string(Com);
            while (!Exists(Link) && FDevsim.Running() && Clock::now() < Deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!Exists(Link)) {
                if (FDevsim.Running())
                    std::fprintf(stderr, "fleet_bench: veltrac-devsim did not plug in COM %d within %d s\n",
                                 Com, PlugTimeoutMs / 1000);
                else
                    std::fprintf(
                        stderr,
                        "fleet_bench: veltrac-devsim ended (exit code %d) before it plugged in COM %d\n",
                        FDevsim.ExitCode(), Com);
                PrintTail("veltrac-devsim output", FDevsim.OutPath());
                PrintTail("veltrac-devsim errors", FDevsim.ErrPath());
                return;
            }
        }
        FOk = true;
    }
    ~Fleet()
    {
        FDevsim.Signal(SIGINT);
        if (!FDevsim.Wait(10000))
            std::fprintf(stderr, "fleet_bench: veltrac-devsim did not end on Ctrl-C; killed\n");
    }
    bool Ok() const { return FOk; }

  private:
    Child FDevsim;
    bool FOk = false;
};

struct UnitFigures {
    int Com = 0;
    double Seconds = 0; // transfer_seconds
    double Bound = 0;   // wire time of transfer_line_bytes at line_rate
    int64_t LineBytes = 0, ImageBytes = 0;
    int64_t Rate = 0;
    std::string Image;
    double Ratio() const { return Seconds > 0 ? Bound / Seconds : 0; }
};

struct RunFigures {
    bool Ok = false;
    double Wall = 0, Cpu = 0;
    std::vector<UnitFigures> Units; // by COM number
};

// One run of the command line on Units ports, each device updated from the
// tool's own firmware. Ok only when every port ended "updated" and the tool exited 0.
RunFigures RunCli(const std::string& Dir, int Units, const char* Name)
{
    RunFigures R;
    std::vector<std::string> Args{"--device", "veltrac"};
    for (int Com = FirstCom; Com < FirstCom + Units; ++Com)
        Args.insert(Args.end(), {"--port", std::to_string(Com)});
    Args.push_back("--json");
    const std::string Out = Dir + "/" + Name + ".out", Err = Dir + "/" + Name + ".err";
    Child Cli(CLI_EXE, Args, Out, Err);
    if (!Cli.Started() || !Cli.Wait(RunTimeoutMs)) {
        std::fprintf(stderr, "fleet_bench: veltrac-gnss-update-cli %s\n",
                     Cli.Started() ? "did not end within 30 minutes; killed" : "could not be started");
        PrintTail("its output", Out);
        PrintTail("its errors", Err);
        return R;
    }
    R.Wall = Cli.WallSeconds();
    R.Cpu = Cli.CpuSeconds();

    std::map<int, UnitFigures> ByCom;
    std::vector<std::string> NotUpdated;
    std::set<int> Seen;
    std::istringstream Lines(ReadFile(Out));
    for (std::string Line; std::getline(Lines, Line);) {
        const QJsonDocument Doc = QJsonDocument::fromJson(QByteArray::fromStdString(Line));
        const QJsonObject J = Doc.object();
        if (J.value("event").toString() != "result")
            continue;
        UnitFigures U;
        U.Com = J.value("com").toInt();
        U.Seconds = J.value("transfer_seconds").toDouble();
        U.LineBytes = J.value("transfer_line_bytes").toInteger();
        U.Rate = J.value("line_rate").toInteger();
        U.ImageBytes = J.value("image_bytes").toInteger();
        U.Image = J.value("image").toString().toStdString();
        U.Bound = U.Rate > 0 ? 10.0 * static_cast<double>(U.LineBytes) / static_cast<double>(U.Rate) : 0;
        Seen.insert(U.Com);
        const std::string Result = J.value("result").toString().toStdString();
        if (Result != "updated")
            NotUpdated.push_back("COM " + std::to_string(U.Com) + " ended \"" + Result +
                                 "\": " + J.value("message").toString().toStdString());
        else
            ByCom[U.Com] = U;
    }
    std::string Missing;
    for (int Com = FirstCom; Com < FirstCom + Units; ++Com)
        if (!Seen.count(Com))
            Missing += (Missing.empty() ? "no result line for COM " : ", ") + std::to_string(Com);
    if (!Missing.empty())
        NotUpdated.push_back(Missing);
    if (Cli.ExitCode() != 0 || !NotUpdated.empty() || ByCom.size() != static_cast<std::size_t>(Units)) {
        std::fprintf(stderr, "fleet_bench: veltrac-gnss-update-cli on %d port(s) exited %d\n", Units,
                     Cli.ExitCode());
        for (const std::string& N : NotUpdated)
            std::fprintf(stderr, "  %s\n", N.c_str());
        PrintTail("its output", Out);
        PrintTail("its errors", Err);
        return R;
    }
    for (const auto& [Com, U] : ByCom)
        R.Units.push_back(U);
    R.Ok = true;
    return R;
}

void PrintUnit(const UnitFigures& U)
{
    std::printf(
        "  COM %d: transfer %.2f s, wire-time bound %.2f s (%lld bytes at %lld bit/s), bound/actual %.3f\n",
        U.Com, U.Seconds, U.Bound, static_cast<long long>(U.LineBytes), static_cast<long long>(U.Rate),
        U.Ratio());
}

double CpuShare(const RunFigures& R, int Units)
{
    return R.Wall > 0 ? 100.0 * R.Cpu / R.Wall / Units : 0;
}

} // namespace

int main(int argc, char** argv)
{
    int Units = 8;
    for (int i = 1; i < argc; ++i) {
        const std::string A = argv[i];
        char* End = nullptr;
        if (A == "--units" && i + 1 < argc) {
            const long N = std::strtol(argv[++i], &End, 10);
            if (*argv[i] == '\0' || *End || N < 1 || N > MaxUnits) {
                std::fprintf(stderr, "fleet_bench: bad --units '%s' (1 to %d)\n", argv[i], MaxUnits);
                return 2;
            }
            Units = static_cast<int>(N);
        } else {
            std::fprintf(stderr, "usage: fleet_bench [--units K]   (1 to %d, default 8)\n", MaxUnits);
            return 2;
        }
    }
    char Template[] = "/tmp/veltrac-fleet-bench-XXXXXX";
    if (!::mkdtemp(Template)) {
        std::fprintf(stderr, "fleet_bench: no temporary folder: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string Dir = Template;
    // The command line finds the devices through this folder; its children inherit it.
    ::setenv("VELTRAC_COM_DIR", Dir.c_str(), 1);
    std::printf(
        "fleet_bench: Veltrac units simulated by veltrac-devsim (--pace, --adapter-latency %d, the end "
        "of a transfer as real units do), updated by veltrac-gnss-update-cli --json from its own firmware\n",
        AdapterLatencyMs);

    bool Ok = false;
    RunFigures One, Many;
    {
        Fleet Alone(Dir, 1);
        if (Alone.Ok()) {
            std::printf("\none unit alone, COM %d:\n", FirstCom);
            std::fflush(stdout);
            One = RunCli(Dir, 1, "one");
        }
    }
    if (One.Ok) {
        const UnitFigures& U = One.Units.front();
        std::printf("  image %s (%lld bytes)\n", U.Image.c_str(), static_cast<long long>(U.ImageBytes));
        PrintUnit(U);
        std::printf("  tool CPU %.2f s over %.1f s: %.2f %% of one core\n", One.Cpu, One.Wall,
                    CpuShare(One, 1));
        std::printf("\n%d unit%s at once, COM %d to %d, one process:\n", Units, Units == 1 ? "" : "s",
                    FirstCom, FirstCom + Units - 1);
        std::fflush(stdout);
        Fleet All(Dir, Units);
        if (All.Ok())
            Many = RunCli(Dir, Units, "fleet");
    }
    if (Many.Ok) {
        for (const UnitFigures& U : Many.Units)
            PrintUnit(U);
        const auto Worst =
            std::min_element(Many.Units.begin(), Many.Units.end(),
                             [](const auto& A, const auto& B) { return A.Ratio() < B.Ratio(); });
        const double Single = One.Units.front().Ratio();
        const double Below = Single > 0 ? 100.0 * (Single - Worst->Ratio()) / Single : 0;
        std::printf("  worst bound/actual %.3f (COM %d) against %.3f for one unit alone: %.1f %% %s "
                    "(goal: within 2 %%)\n",
                    Worst->Ratio(), Worst->Com, Single, std::abs(Below), Below >= 0 ? "below" : "above");
        std::printf("  tool CPU %.2f s over %.1f s: %.2f %% of one core per unit (goal: under 3 %%)\n",
                    Many.Cpu, Many.Wall, CpuShare(Many, Units));
        std::printf("RESULT one unit: bound/actual %.3f, tool CPU %.2f %% of a core\n", Single,
                    CpuShare(One, 1));
        std::printf(
            "RESULT %d unit%s in one process: worst bound/actual %.3f (%.1f %% %s one unit), tool CPU "
            "%.2f %% of a core per unit\n",
            Units, Units == 1 ? "" : "s", Worst->Ratio(), std::abs(Below), Below >= 0 ? "below" : "above",
            CpuShare(Many, Units));
        Ok = true;
    }
    std::error_code Ignored;
    std::filesystem::remove_all(Dir, Ignored);
    return Ok ? 0 : 1;
}
