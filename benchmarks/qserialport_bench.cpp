// Serial round trips through the tool's TComPort beside Qt's QSerialPort and
// a plain poll() loop, all on the same pty with an echoing peer on its master.
// Each round trip writes a message and waits in the event loop (or poll) until
// the echo has come back whole. Built only where Qt's serial port module is
// installed (qt6-serialport-dev): it is a comparison, not a dependency.
#include "PtyRoundTrip.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>

#include <cstdio>

namespace
{

using namespace bench;

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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication App(argc, argv);
    TPty Pty;
    if (!Pty.Open()) {
        std::perror("openpty");
        return 1;
    }
    const int Master = Pty.Master;
    const char* Name = Pty.Name;
    std::printf("qserialport_bench: pty %s, %d round trips per size after %d warm-ups\n", Name, Rounds,
                Warmup);
    TStats C1, C256, Q1, Q256, P1, P256;
    {
        TComPort Port;
        Port.SetDevicePath(Name);
        Port.SetOutBufSize(4096);
        Port.Open();
        TEchoPeer Echo(Master);
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
        TEchoPeer Echo(Master);
        Q1 = QtRoundTrip(Port, 1);
        Q256 = QtRoundTrip(Port, 256);
        Port.close();
    }
    {
        const int Fd = ::open(Name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        tcsetattr(Fd, TCSANOW, &Pty.Raw);
        TEchoPeer Echo(Master);
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
    return 0;
}
