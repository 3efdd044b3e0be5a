// Serial port round trip and throughput over a pty.
//
// A peer thread on the pty master echoes what it receives. Round trips go
// through TComPort (write, write thread, event thread, main thread, read)
// and, as the floor, through a plain poll() loop on the same pty. Then the
// sustained one-way throughput in both directions.
#include "serial/ComPort.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int Warmup = 200;
constexpr int Rounds = 2000;
constexpr size_t ThroughputBytes = 8 << 20;

double Micros(Clock::duration D)
{
    return std::chrono::duration<double, std::micro>(D).count();
}

struct TStats {
    double Median, P99;
};

TStats Summarise(std::vector<double> V)
{
    std::sort(V.begin(), V.end());
    return {V[V.size() / 2], V[std::min(V.size() - 1, V.size() * 99 / 100)]};
}

// Echoes everything from the master back to it until told to stop.
class TEchoPeer
{
  public:
    explicit TEchoPeer(int Master) : FMaster(Master), FThread([this] { Run(); }) {}
    ~TEchoPeer()
    {
        FStop = true;
        FThread.join();
    }

  private:
    void Run()
    {
        char buf[4096];
        while (!FStop) {
            pollfd p{FMaster, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0 || !(p.revents & POLLIN))
                continue;
            const ssize_t n = ::read(FMaster, buf, sizeof buf);
            for (ssize_t done = 0; n > 0 && done < n;) {
                const ssize_t w = ::write(FMaster, buf + done, static_cast<size_t>(n - done));
                if (w > 0)
                    done += w;
                else
                    ::poll(&p, 0, 1);
            }
        }
    }
    int FMaster;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

TStats PortRoundTrip(TComPort& Port, size_t Size)
{
    const std::string msg(Size, 'r');
    std::string got;
    QEventLoop loop;
    Port.OnDataRecived = [&](TComPort* S, int32_t) {
        got += S->ReadString();
        if (got.size() >= msg.size())
            loop.quit();
    };
    std::vector<double> times;
    for (int i = 0; i < Warmup + Rounds; ++i) {
        got.clear();
        const auto t0 = Clock::now();
        Port.WriteString(msg);
        if (got.size() < msg.size())
            loop.exec();
        const auto t1 = Clock::now();
        if (got != msg)
            std::fprintf(stderr, "round trip %d: got %zu bytes\n", i, got.size());
        if (i >= Warmup)
            times.push_back(Micros(t1 - t0));
    }
    Port.OnDataRecived = nullptr;
    return Summarise(times);
}

TStats PollRoundTrip(int Fd, size_t Size)
{
    const std::string msg(Size, 'p');
    std::vector<double> times;
    char buf[4096];
    for (int i = 0; i < Warmup + Rounds; ++i) {
        size_t got = 0;
        const auto t0 = Clock::now();
        if (::write(Fd, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size()))
            std::fprintf(stderr, "short write\n");
        while (got < Size) {
            pollfd p{Fd, POLLIN, 0};
            ::poll(&p, 1, 1000);
            const ssize_t n = ::read(Fd, buf, sizeof buf);
            if (n > 0)
                got += static_cast<size_t>(n);
        }
        if (i >= Warmup)
            times.push_back(Micros(Clock::now() - t0));
    }
    return Summarise(times);
}

double ToolToPeer(TComPort& Port, int Master)
{
    std::atomic<size_t> received{0};
    std::thread sink([&] {
        char buf[65536];
        while (received < ThroughputBytes) {
            pollfd p{Master, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0)
                continue;
            const ssize_t n = ::read(Master, buf, sizeof buf);
            if (n > 0)
                received += static_cast<size_t>(n);
        }
    });
    const std::string block(static_cast<size_t>(Port.OutBufSize()), 'w');
    size_t queued = 0;
    QEventLoop loop;
    auto feed = [&](TComPort* S) {
        const size_t n = std::min<size_t>(static_cast<size_t>(S->OutBufFree()), ThroughputBytes - queued);
        if (n > 0) {
            S->WriteString(block.substr(0, n));
            queued += n;
        }
    };
    const auto t0 = Clock::now();
    Port.OnOutBufFree = [&](TComPort* S) {
        feed(S);
        if (queued == ThroughputBytes)
            loop.quit();
    };
    feed(&Port);
    loop.exec();
    sink.join();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    Port.OnOutBufFree = nullptr;
    return ThroughputBytes / secs / 1e6;
}

double PeerToTool(TComPort& Port, int Master)
{
    size_t got = 0;
    QEventLoop loop;
    Port.OnDataRecived = [&](TComPort* S, int32_t) {
        got += S->ReadString().size();
        if (got >= ThroughputBytes)
            loop.quit();
    };
    const auto t0 = Clock::now();
    std::thread source([&] {
        const std::string block(4096, 'q');
        size_t sent = 0;
        while (sent < ThroughputBytes) {
            const ssize_t n = ::write(Master, block.data(), std::min(block.size(), ThroughputBytes - sent));
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else {
                pollfd p{Master, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    });
    loop.exec();
    source.join();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    Port.OnDataRecived = nullptr;
    return ThroughputBytes / secs / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int master = -1, slave = -1;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    // Keeping a slave descriptor open spares the peer a hang-up while the
    // tool side changes hands between the two measurements.
    termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    std::printf("serial_bench: pty %s, %d round trips per size after %d warm-ups\n", name, Rounds, Warmup);
    {
        TComPort port;
        port.SetDevicePath(name);
        port.SetOutBufSize(4096);
        port.Open();
        TStats p1, p256;
        {
            TEchoPeer echo(master);
            p1 = PortRoundTrip(port, 1);
            p256 = PortRoundTrip(port, 256);
        }
        port.Close();

        const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        tcsetattr(fd, TCSANOW, &raw);
        TStats f1, f256;
        {
            TEchoPeer echo(master);
            f1 = PollRoundTrip(fd, 1);
            f256 = PollRoundTrip(fd, 256);
        }
        ::close(fd);

        std::printf("round trip (microseconds)      median      p99\n");
        std::printf("  TComPort   1 byte       %10.1f %8.1f\n", p1.Median, p1.P99);
        std::printf("  poll loop  1 byte       %10.1f %8.1f\n", f1.Median, f1.P99);
        std::printf("  TComPort 256 bytes      %10.1f %8.1f\n", p256.Median, p256.P99);
        std::printf("  poll loop 256 bytes     %10.1f %8.1f\n", f256.Median, f256.P99);
        std::printf("  TComPort / floor (median): %.2f (1 byte), %.2f (256 bytes)\n", p1.Median / f1.Median,
                    p256.Median / f256.Median);

        port.Open();
        const double out = ToolToPeer(port, master);
        const double in = PeerToTool(port, master);
        std::printf("throughput over %zu MiB: TComPort -> peer %.1f MB/s, peer -> TComPort %.1f MB/s\n",
                    ThroughputBytes >> 20, out, in);
        std::printf("event thread wake-ups during the run: %llu\n",
                    static_cast<unsigned long long>(port.Core()->EventThreadWakeups()));
        port.Close();
    }
    ::close(slave);
    ::close(master);
    return 0;
}
