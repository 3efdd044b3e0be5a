// Serial port round trip and throughput over a pty.
//
// A peer thread on the pty master echoes what it receives. Round trips go
// through TComPort (write, write thread, event thread, main thread, read)
// and, as the floor, through a plain poll() loop on the same pty. Then the
// sustained one-way throughput in both directions.
#include "PtyRoundTrip.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <cstdio>

namespace
{

using namespace bench;

constexpr size_t ThroughputBytes = 8 << 20;

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
    TPty Pty;
    if (!Pty.Open()) {
        std::perror("openpty");
        return 1;
    }
    const int master = Pty.Master;
    const char* name = Pty.Name;
    std::printf("serial_bench: pty %s, %d round trips per size after %d warm-ups\n", name, Rounds, Warmup);
    {
        TComPort port;
        port.SetDevicePath(name);
        port.SetOutBufSize(4096);
        port.Open();
        TStats p1, p256;
        {
            TEchoPeer echo(master);
            p1 = ComPortRoundTrip(port, 1);
            p256 = ComPortRoundTrip(port, 256);
        }
        port.Close();

        const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        tcsetattr(fd, TCSANOW, &Pty.Raw);
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
    return 0;
}
