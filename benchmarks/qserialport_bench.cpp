// Serial round trips through the tool's TComPort beside Qt's QSerialPort and
// a plain poll() loop, all on the same pty with an echoing peer on its master.
// Each round trip writes a message and waits in the event loop (or poll) until
// the echo has come back whole. Built only where Qt's serial port module is
// installed (qt6-serialport-dev): it is a comparison, not a dependency.
#include "serial/ComPort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>

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

struct TStats {
    double Median = 0, P99 = 0;
};

TStats Summarise(std::vector<double> V)
{
    std::sort(V.begin(), V.end());
    return {V[V.size() / 2], V[std::min(V.size() - 1, V.size() * 99 / 100)]};
}

double Micros(Clock::duration D)
{
    return std::chrono::duration<double, std::micro>(D).count();
}

// Sends back whatever arrives on the master, until destroyed.
class TEcho
{
  public:
    explicit TEcho(int Master) : FMaster(Master), FThread([this] { Run(); }) {}
    ~TEcho()
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

TStats ComPortRoundTrip(TComPort& Port, size_t Size)
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

TStats QtRoundTrip(QSerialPort& Port, size_t Size)
{
    size_t Got = 0, Want = 0;
    QEventLoop Loop;
    const auto Connection = QObject::connect(&Port, &QSerialPort::readyRead, [&] {
        Got += static_cast<size_t>(Port.readAll().size());
        if (Got >= Want)
            Loop.quit();
    });
    const TStats R = Measure(
        Size,
        [&](const std::string& M) {
            Got = 0;
            Want = M.size();
            Port.write(M.data(), static_cast<qint64>(M.size()));
        },
        [&](size_t N) {
            if (Got < N)
                Loop.exec();
            return Got == N;
        });
    QObject::disconnect(Connection);
    return R;
}

TStats PollRoundTrip(int Fd, size_t Size)
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication App(argc, argv);
    int Master = -1, Slave = -1;
    char Name[128];
    if (openpty(&Master, &Slave, Name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    // A slave descriptor held open spares the peer a hang-up between the measurements.
    termios Raw;
    tcgetattr(Slave, &Raw);
    cfmakeraw(&Raw);
    tcsetattr(Slave, TCSANOW, &Raw);
    fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);

    std::printf("qserialport_bench: pty %s, %d round trips per size after %d warm-ups\n", Name, Rounds,
                Warmup);
    TStats C1, C256, Q1, Q256, P1, P256;
    {
        TComPort Port;
        Port.SetDevicePath(Name);
        Port.SetOutBufSize(4096);
        Port.Open();
        TEcho Echo(Master);
        C1 = ComPortRoundTrip(Port, 1);
        C256 = ComPortRoundTrip(Port, 256);
        Port.Close();
    }
    {
        QSerialPort Port;
        Port.setPortName(QString::fromLocal8Bit(Name));
        Port.setBaudRate(QSerialPort::Baud9600);
        if (!Port.open(QIODevice::ReadWrite)) {
            std::fprintf(stderr, "QSerialPort: %s\n", Port.errorString().toLocal8Bit().constData());
            return 1;
        }
        TEcho Echo(Master);
        Q1 = QtRoundTrip(Port, 1);
        Q256 = QtRoundTrip(Port, 256);
        Port.close();
    }
    {
        const int Fd = ::open(Name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        tcsetattr(Fd, TCSANOW, &Raw);
        TEcho Echo(Master);
        P1 = PollRoundTrip(Fd, 1);
        P256 = PollRoundTrip(Fd, 256);
        ::close(Fd);
    }
    std::printf("round trip (microseconds)      median      p99\n");
    std::printf("  TComPort     1 byte     %10.1f %8.1f\n", C1.Median, C1.P99);
    std::printf("  QSerialPort  1 byte     %10.1f %8.1f\n", Q1.Median, Q1.P99);
    std::printf("  poll loop    1 byte     %10.1f %8.1f\n", P1.Median, P1.P99);
    std::printf("  TComPort     256 bytes  %10.1f %8.1f\n", C256.Median, C256.P99);
    std::printf("  QSerialPort  256 bytes  %10.1f %8.1f\n", Q256.Median, Q256.P99);
    std::printf("  poll loop    256 bytes  %10.1f %8.1f\n", P256.Median, P256.P99);
    std::printf(
        "RESULT serial round trip 1 byte (median): TComPort %.1f us, QSerialPort %.1f us, poll %.1f us\n",
        C1.Median, Q1.Median, P1.Median);
    std::printf(
        "RESULT serial round trip 256 bytes (median): TComPort %.1f us, QSerialPort %.1f us, poll %.1f us\n",
        C256.Median, Q256.Median, P256.Median);
    ::close(Slave);
    ::close(Master);
    return 0;
}
