#pragma once
// Round trips over a pty for the serial benchmarks: a peer thread on the
// master echoes what it receives, and each round trip writes a message and
// waits until the echo has come back whole.
#include "serial/ComPort.h"

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

namespace bench
{

using Clock = std::chrono::steady_clock;
constexpr int Warmup = 200;
constexpr int Rounds = 2000;

inline double Micros(Clock::duration D)
{
    return std::chrono::duration<double, std::micro>(D).count();
}

struct TStats {
    double Median = 0, P99 = 0;
};

inline TStats Summarise(std::vector<double> V)
{
    std::sort(V.begin(), V.end());
    return {V[V.size() / 2], V[std::min(V.size() - 1, V.size() * 99 / 100)]};
}

// A pty with its slave held open (raw), so that the peer sees no hang-up
// while the tool's side changes hands between measurements. False on failure.
struct TPty {
    int Master = -1, Slave = -1;
    char Name[128] = {};
    termios Raw{};
    bool Open()
    {
        if (openpty(&Master, &Slave, Name, nullptr, nullptr) != 0)
            return false;
        tcgetattr(Slave, &Raw);
        cfmakeraw(&Raw);
        tcsetattr(Slave, TCSANOW, &Raw);
        fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
        return true;
    }
    ~TPty()
    {
        if (Slave >= 0)
            ::close(Slave);
        if (Master >= 0)
            ::close(Master);
    }
};

// Sends back whatever arrives on the master, until destroyed.
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
        char Buf[4096];
        while (!FStop) {
            pollfd P{FMaster, POLLIN, 0};
            if (::poll(&P, 1, 50) <= 0 || !(P.revents & POLLIN))
                continue;
            const ssize_t N = ::read(FMaster, Buf, sizeof Buf);
            for (ssize_t Done = 0; N > 0 && Done < N;) {
                const ssize_t W = ::write(FMaster, Buf + Done, static_cast<size_t>(N - Done));
                if (W > 0)
                    Done += W;
                else
                    ::poll(&P, 0, 1);
            }
        }
    }
    int FMaster;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// Write sends the message; Wait(N) returns once N bytes came back (false when they did not).
template <typename Send, typename Arm> TStats Measure(size_t Size, Send&& Write, Arm&& Wait)
{
    const std::string Msg(Size, 'm');
    std::vector<double> T;
    for (int i = 0; i < Warmup + Rounds; ++i) {
        const auto T0 = Clock::now();
        Write(Msg);
        if (!Wait(Size))
            std::fprintf(stderr, "round trip %d incomplete\n", i);
        if (i >= Warmup)
            T.push_back(Micros(Clock::now() - T0));
    }
    return Summarise(T);
}

// Through TComPort: write, write thread, event thread, main thread, read.
inline TStats ComPortRoundTrip(TComPort& Port, size_t Size)
{
    size_t Got = 0, Want = 0;
    QEventLoop Loop;
    Port.OnDataRecived = [&](TComPort* S, int32_t) {
        Got += S->ReadString().size();
        if (Got >= Want)
            Loop.quit();
    };
    const TStats R = Measure(
        Size,
        [&](const std::string& M) {
            Got = 0;
            Want = M.size();
            Port.WriteString(M);
        },
        [&](size_t N) {
            if (Got < N)
                Loop.exec();
            return Got == N;
        });
    Port.OnDataRecived = nullptr;
    return R;
}

// The floor: a plain poll() loop on a descriptor of the slave.
inline TStats PollRoundTrip(int Fd, size_t Size)
{
    char Buf[4096];
    return Measure(
        Size, [&](const std::string& M) { (void)::write(Fd, M.data(), M.size()); },
        [&](size_t N) {
            size_t Got = 0;
            while (Got < N) {
                pollfd P{Fd, POLLIN, 0};
                if (::poll(&P, 1, 1000) <= 0)
                    return false;
                const ssize_t R = ::read(Fd, Buf, sizeof Buf);
                if (R > 0)
                    Got += static_cast<size_t>(R);
            }
            return true;
        });
}

} // namespace bench
