#include "app/SignalWatcher.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int SignalPipe[2] = {-1, -1};

extern "C" void OnSignalNumber(int Signal)
{
    const int Saved = errno;
    const unsigned char Byte = static_cast<unsigned char>(Signal);
    // Nothing else happens here: the event loop reads the byte.
    [[maybe_unused]] const ssize_t N = write(SignalPipe[1], &Byte, 1);
    errno = Saved;
}

} // namespace

bool TSignalWatcher::Install(std::string* Error)
{
    if (SignalPipe[0] >= 0)
        return true;
    if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (Error)
            *Error = std::string("cannot make the signal pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction Act {
    };
    Act.sa_handler = OnSignalNumber;
    sigemptyset(&Act.sa_mask);
    Act.sa_flags = SA_RESTART;
    for (int S : {SIGINT, SIGTERM, SIGHUP})
        sigaction(S, &Act, nullptr);
    // A closed reader of stdout must not kill the program before the link is closed.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

TSignalWatcher::TSignalWatcher(QObject* Parent) : QObject(Parent)
{
    if (SignalPipe[0] < 0)
        return;
    FNotifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
    connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char Bytes[16];
        int Last = 0;
        ssize_t N;
        while ((N = read(SignalPipe[0], Bytes, sizeof Bytes)) > 0)
            Last = Bytes[N - 1];
        if (Last != 0)
            emit Signalled(Last);
    });
}

TSignalWatcher::~TSignalWatcher() = default;

std::string SignalName(int Signal)
{
    switch (Signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal " + std::to_string(Signal);
    }
}
