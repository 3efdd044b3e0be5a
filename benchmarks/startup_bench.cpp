// Start-up with the embedded demo package: from process start to the firmware
// loaded and to the window shown, the peak memory, and the CPU the running
// tool uses while idle with a port open.
//
// The program starts itself again as the measured process, so the times
// include loading the executable and its libraries; the child reports its
// milestones on the monotonic clock and the parent takes its peak memory from
// wait4(). Without a display the window is shown on Qt's offscreen platform.
//
//   startup_bench [runs]        (default 5; the median is reported)
#include "app/FCXGPSFW.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int IdleSeconds = 10;

int64_t MonotonicNs()
{
    timespec T;
    clock_gettime(CLOCK_MONOTONIC, &T);
    return static_cast<int64_t>(T.tv_sec) * 1000000000 + T.tv_nsec;
}

double CpuSeconds()
{
    rusage U{};
    getrusage(RUSAGE_SELF, &U);
    return static_cast<double>(U.ru_utime.tv_sec + U.ru_stime.tv_sec) +
           static_cast<double>(U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

void Mark(const char* Name)
{
    std::printf("MARK %s %lld\n", Name, static_cast<long long>(MonotonicNs()));
    std::fflush(stdout);
}

// The first paint of the window is when the user sees it.
class TFirstPaint : public QObject
{
  public:
    bool Seen = false;
    bool eventFilter(QObject* Watched, QEvent* Event) override
    {
        if (!Seen && Event->type() == QEvent::Paint) {
            Seen = true;
            Mark("shown");
        }
        return QObject::eventFilter(Watched, Event);
    }
};

// The measured process. "session": the update session alone (the firmware
// loaded, no window). "window": as the tool starts, up to the first paint.
// "idle": the same, then "Open" on a port whose device is silent, and the CPU
// over the idle seconds.
int Child(const std::string& Mode, int argc, char** argv)
{
    Mark("main");
    if (Mode == "session") {
        QCoreApplication App(argc, argv);
        const TFirmwareStore Store;
        TUpdateSession S(Store);
        Mark("loaded");
        std::printf("IMAGES %zu UNITS %d\n", S.Images().ReceiverImages().size(), S.Images().UnitFirmware().Count());
        return 0;
    }
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication App(argc, argv);
    TFCXGPSFW Window;
    Mark("loaded");
    TFirstPaint Paint;
    Window.installEventFilter(&Paint);
    Window.show();
    while (!Paint.Seen)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 100);
    if (Mode != "idle")
        return 0;

    // A port with nothing answering: the tool wakes the unit every 1.5 s.
    QTemporaryDir Dir;
    const int Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0 ||
        symlink(ptsname(Master), (Dir.path().toStdString() + "/com5").c_str()) != 0) {
        std::fprintf(stderr, "startup_bench: no pty\n");
        return 1;
    }
    qputenv("VELTRAC_COM_DIR", Dir.path().toLocal8Bit());
    TUpdateSession& S = Window.Session();
    S.SetDeviceType(dtVeltrac);
    S.SetComNumber(5);
    S.Open();
    const double Cpu0 = CpuSeconds();
    const int64_t T0 = MonotonicNs();
    QTimer::singleShot(IdleSeconds * 1000, &App, &QCoreApplication::quit);
    QApplication::exec();
    const double Cpu = CpuSeconds() - Cpu0;
    const double Wall = (MonotonicNs() - T0) / 1e9;
    std::printf("IDLE %.6f %.6f\n", Cpu, Wall);
    S.Close();
    close(Master);
    return 0;
}

struct TResult {
    std::map<std::string, int64_t> Marks;
    double IdleCpu = -1, IdleWall = 0;
    long PeakKiB = 0;
    std::string Extra;
    bool Ok = false;
};

TResult RunChild(const char* Self, const std::string& Mode)
{
    TResult R;
    int Pipe[2];
    if (pipe(Pipe) != 0)
        return R;
    const int64_t Start = MonotonicNs();
    const pid_t Pid = fork();
    if (Pid == 0) {
        dup2(Pipe[1], STDOUT_FILENO);
        close(Pipe[0]);
        close(Pipe[1]);
        execl(Self, Self, "--child", Mode.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(Pipe[1]);
    std::string Out;
    char Buf[4096];
    for (ssize_t N; (N = read(Pipe[0], Buf, sizeof Buf)) != 0;) {
        if (N < 0 && errno == EINTR)
            continue;
        if (N < 0)
            break;
        Out.append(Buf, static_cast<size_t>(N));
    }
    close(Pipe[0]);
    int Status = 0;
    rusage U{};
    wait4(Pid, &Status, 0, &U);
    R.PeakKiB = U.ru_maxrss;
    R.Ok = WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
    size_t Pos = 0;
    while (Pos < Out.size()) {
        const size_t End = Out.find('\n', Pos);
        const std::string Line = Out.substr(Pos, End - Pos);
        Pos = End == std::string::npos ? Out.size() : End + 1;
        char Name[64];
        long long Ns;
        double A, B;
        if (std::sscanf(Line.c_str(), "MARK %63s %lld", Name, &Ns) == 2)
            R.Marks[Name] = Ns - Start;
        else if (std::sscanf(Line.c_str(), "IDLE %lf %lf", &A, &B) == 2)
            R.IdleCpu = A, R.IdleWall = B;
        else if (Line.rfind("IMAGES", 0) == 0)
            R.Extra = Line;
    }
    return R;
}

double Median(std::vector<double> V)
{
    std::sort(V.begin(), V.end());
    return V.empty() ? 0 : V[V.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "--child")
        return Child(argv[2], 1, argv);
    const int Runs = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 5;
    char Self[4096];
    const ssize_t N = readlink("/proc/self/exe", Self, sizeof Self - 1);
    if (N <= 0)
        return 1;
    Self[N] = 0;

    std::printf("startup_bench: %d runs each, median (first run in brackets), demo package\n", Runs);
    std::vector<double> Main, Loaded, SessionPeak, WinLoaded, Shown, WindowPeak;
    double FirstLoaded = 0, FirstShown = 0;
    std::string Extra;
    for (int i = 0; i < Runs; ++i) {
        const TResult S = RunChild(Self, "session");
        if (!S.Ok || !S.Marks.count("loaded")) {
            std::fprintf(stderr, "startup_bench: the session child failed\n");
            return 1;
        }
        Extra = S.Extra;
        Main.push_back(S.Marks.at("main") / 1e6);
        Loaded.push_back(S.Marks.at("loaded") / 1e6);
        SessionPeak.push_back(S.PeakKiB / 1024.0);
        if (i == 0)
            FirstLoaded = Loaded.back();
    }
    for (int i = 0; i < Runs; ++i) {
        const TResult W = RunChild(Self, "window");
        if (!W.Ok || !W.Marks.count("shown")) {
            std::fprintf(stderr, "startup_bench: the window child failed\n");
            return 1;
        }
        WinLoaded.push_back(W.Marks.at("loaded") / 1e6);
        Shown.push_back(W.Marks.at("shown") / 1e6);
        WindowPeak.push_back(W.PeakKiB / 1024.0);
        if (i == 0)
            FirstShown = Shown.back();
    }
    const TResult Last = RunChild(Self, "idle");
    if (!Last.Ok || Last.IdleCpu < 0) {
        std::fprintf(stderr, "startup_bench: the idle child failed\n");
        return 1;
    }
    std::printf("  package: %s\n", Extra.c_str());
    std::printf("  process start to main():                 %7.1f ms\n", Median(Main));
    std::printf("  process start to firmware loaded:        %7.1f ms  [%.1f]  (session alone)\n",
                Median(Loaded), FirstLoaded);
    std::printf("  process start to window built:           %7.1f ms  (firmware loaded, controls made)\n",
                Median(WinLoaded));
    std::printf("  process start to window shown:           %7.1f ms  [%.1f]  (first paint)\n", Median(Shown),
                FirstShown);
    std::printf("  peak memory: session %.1f MiB, window %.1f MiB\n", Median(SessionPeak),
                Median(WindowPeak));
    std::printf("  idle with a port open (unit not answering), %d s: CPU %.3f s = %.2f %% of one core\n",
                IdleSeconds, Last.IdleCpu, 100.0 * Last.IdleCpu / Last.IdleWall);
    std::printf("RESULT start-up: firmware loaded %.0f ms, window shown %.0f ms, peak %.1f MiB\n",
                Median(Loaded), Median(Shown), Median(WindowPeak));
    std::printf("RESULT idle CPU with a port open: %.2f %% of one core\n",
                100.0 * Last.IdleCpu / Last.IdleWall);
    return 0;
}
