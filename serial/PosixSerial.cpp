#include "serial/PosixSerial.h"

#include "serial/PortControls.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/serial.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

bool MissingDevice(int Errno)
{
    // ENXIO/ENODEV: a device node whose driver has no port behind it.
    return Errno == ENOENT || Errno == ENXIO || Errno == ENODEV || Errno == ENOTDIR;
}

struct TRateEntry {
    uint32_t Rate;
    speed_t Code;
};

const TRateEntry StandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool StandardRateCode(uint32_t Rate, speed_t& Code)
{
    for (const auto& e : StandardRates) {
        if (e.Rate == Rate) {
            Code = e.Code;
            return true;
        }
    }
    return false;
}

uint32_t RateOfCode(speed_t Code)
{
    for (const auto& e : StandardRates)
        if (e.Code == Code)
            return e.Rate;
    return 0;
}

// A UART divides its clock, so the rate it reports may differ slightly from
// the one asked for; a link still works within a few per cent.
bool RateClose(uint32_t Want, uint32_t Got)
{
    const uint64_t diff = Want > Got ? Want - Got : Got - Want;
    return diff * 50 <= Want;
}

void MakeRaw(termios& t)
{
    // As cfmakeraw, but EXTPROC stays: a simulator on a pty master uses it to
    // be told of our settings changes.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IUCLC | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

// The devices this process holds open, by descriptor. A device is known by
// its device number (character devices) or its inode, so every link to it
// finds it.
struct TNodeKey {
    dev_t Dev;
    ino_t Ino;
    auto operator<=>(const TNodeKey&) const = default;
};

TNodeKey NodeKey(const struct stat& St)
{
    return S_ISCHR(St.st_mode) ? TNodeKey{St.st_rdev, 0} : TNodeKey{St.st_dev, St.st_ino};
}

std::mutex HeldLock;
std::map<int, TNodeKey> HeldDevices;
std::atomic<uint64_t> ProbeOpens{0};

constexpr tcflag_t CheckedCflags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t CheckedIflags = IXON | IXOFF | INPCK;

void SetModemBit(int Fd, int Bit, bool On)
{
    // ENOTTY/EINVAL on a pty: there are no modem lines to drive.
    ioctl(Fd, On ? TIOCMBIS : TIOCMBIC, &Bit);
}

} // namespace

TPosixOpenResult PosixOpenFailure(int Errno)
{
    if (MissingDevice(Errno))
        return porNoSuchPort;
    return Errno == EACCES || Errno == EPERM ? porNoPermission : porCantOpen;
}

int PosixOpenPort(const std::string& Path, TPosixOpenResult& Result)
{
    Result = porOk;
    int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Result = PosixOpenFailure(errno);
        return -1;
    }
    // flock stops another flock-taking opener (root included); TIOCEXCL stops
    // other non-root openers that do not lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        Result = porCantOpen;
        return -1;
    }
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        // EIO: a ttyS node with no UART behind it, i.e. no port at all.
        const int e = errno;
        ::close(fd);
        Result = e == EIO ? porNoSuchPort : porCantOpen;
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    struct stat st;
    if (fstat(fd, &st) == 0) {
        const std::lock_guard<std::mutex> g(HeldLock);
        HeldDevices[fd] = NodeKey(st);
    }
    return fd;
}

void PosixClosePort(int Fd)
{
    if (Fd < 0)
        return;
    {
        const std::lock_guard<std::mutex> g(HeldLock);
        HeldDevices.erase(Fd);
    }
    // On a pty the exclusive flag outlives the descriptor and would lock out
    // the next non-root opener.
    ioctl(Fd, TIOCNXCL);
    flock(Fd, LOCK_UN);
    ::close(Fd);
}

bool PosixHeldHere(const std::string& Path)
{
    struct stat st;
    if (Path.empty() || ::stat(Path.c_str(), &st) != 0)
        return false;
    const TNodeKey key = NodeKey(st);
    const std::lock_guard<std::mutex> g(HeldLock);
    for (const auto& [fd, held] : HeldDevices)
        if (held == key)
            return true;
    return false;
}

uint64_t PosixProbeOpens()
{
    return ProbeOpens.load();
}

uint32_t PosixProbePort(const std::string& Path, TPosixOpenResult* Why)
{
    if (Why)
        *Why = porOk;
    struct stat st;
    if (Path.empty() || ::stat(Path.c_str(), &st) != 0)
        return psMissing;
    // Our own port is in use by us; opening it again would run the driver's
    // open path on a line in the middle of a transfer.
    if (PosixHeldHere(Path)) {
        if (Why)
            *Why = porCantOpen;
        return psInUse;
    }
    ++ProbeOpens;
    int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const TPosixOpenResult r = PosixOpenFailure(errno);
        if (Why)
            *Why = r;
        return r == porNoSuchPort ? psMissing : psInUse;
    }
    uint32_t state = psFree;
    termios t;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        state = psInUse;
    else if (tcgetattr(fd, &t) != 0)
        state = errno == EIO ? psMissing : psInUse;
    ::close(fd);
    if (Why && state == psInUse)
        *Why = porCantOpen;
    return state;
}

bool PosixSetRawMode(int Fd)
{
    termios t;
    if (tcgetattr(Fd, &t) != 0)
        return false;
    MakeRaw(t);
    return tcsetattr(Fd, TCSANOW, &t) == 0;
}

bool PosixApplyDCB(int Fd, const TDCB& Rec)
{
    // What termios cannot express is refused rather than silently ignored.
    constexpr uint32_t unsupported = DCB_fOutxDsrFlow | DCB_fDsrSensitivity | DCB_fNull;
    if (Rec.BaudRate == 0 || Rec.ByteSize < 5 || Rec.ByteSize > 8 || Rec.Parity > SPACEPARITY ||
        Rec.StopBits > TWOSTOPBITS || (Rec.Flags & unsupported) ||
        (Rec.Flags & DCB_fDtrControlMask) == DCB_fDtrControlHandshake ||
        (Rec.Flags & DCB_fRtsControlMask) == DCB_fRtsControlToggle)
        return false;
    // 1.5 stop bits exist only with 5 data bits (CSTOPB there), 2 only with more.
    if ((Rec.StopBits == ONE5STOPBITS) != (Rec.ByteSize == 5 && Rec.StopBits != ONESTOPBIT))
        return false;

    termios old;
    if (tcgetattr(Fd, &old) != 0)
        return false;
    uint32_t oldIn = 0, oldOut = 0;
    const bool haveOldRate = PosixGetRate(Fd, oldIn, oldOut);

    termios t = old;
    MakeRaw(t);
    t.c_cflag &= ~CheckedCflags;
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[Rec.ByteSize - 5];
    switch (Rec.Parity) {
    case ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        t.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (Rec.StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB;
    const bool rtsHandshake = (Rec.Flags & DCB_fRtsControlMask) == DCB_fRtsControlHandshake;
    if ((Rec.Flags & DCB_fOutxCtsFlow) || rtsHandshake)
        t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(CheckedIflags | IGNPAR);
    if (Rec.Flags & DCB_fOutX)
        t.c_iflag |= IXON;
    if (Rec.Flags & DCB_fInX)
        t.c_iflag |= IXOFF;
    if (Rec.Flags & DCB_fParity)
        t.c_iflag |= INPCK;
    t.c_cc[VSTART] = static_cast<cc_t>(Rec.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(Rec.XoffChar);

    speed_t code;
    const bool standard = StandardRateCode(Rec.BaudRate, code);
    if (standard) {
        // A separate input rate left over from an earlier BOTHER would
        // survive cfsetspeed.
        t.c_cflag &= ~CIBAUD;
        cfsetispeed(&t, code);
        cfsetospeed(&t, code);
    }

    auto restore = [&] {
        tcsetattr(Fd, TCSANOW, &old);
        // A rate that glibc cannot express goes back through termios2.
        if (haveOldRate && RateOfCode(cfgetospeed(&old)) == 0)
            PosixSetRate(Fd, oldIn, oldOut);
        return false;
    };

    if (tcsetattr(Fd, TCSANOW, &t) != 0)
        return restore();
    if (!standard && !PosixSetRate(Fd, Rec.BaudRate, Rec.BaudRate))
        return restore();

    termios now;
    if (tcgetattr(Fd, &now) != 0)
        return restore();
    if ((now.c_cflag & CheckedCflags) != (t.c_cflag & CheckedCflags) ||
        (now.c_iflag & CheckedIflags) != (t.c_iflag & CheckedIflags))
        return restore();
    uint32_t inRate = 0, outRate = 0;
    if (PosixGetRate(Fd, inRate, outRate) &&
        (!RateClose(Rec.BaudRate, inRate) || !RateClose(Rec.BaudRate, outRate)))
        return restore();

    if (!rtsHandshake)
        SetModemBit(Fd, TIOCM_RTS, (Rec.Flags & DCB_fRtsControlMask) == DCB_fRtsControlEnable);
    SetModemBit(Fd, TIOCM_DTR, (Rec.Flags & DCB_fDtrControlMask) == DCB_fDtrControlEnable);
    return true;
}

bool PosixReadDCB(int Fd, TDCB& Rec)
{
    termios t;
    if (tcgetattr(Fd, &t) != 0)
        return false;
    uint32_t inRate = 0, outRate = 0;
    if (!PosixGetRate(Fd, inRate, outRate))
        outRate = RateOfCode(cfgetospeed(&t));
    Rec.DCBlength = sizeof(TDCB);
    Rec.BaudRate = outRate;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        Rec.ByteSize = 5;
        break;
    case CS6:
        Rec.ByteSize = 6;
        break;
    case CS7:
        Rec.ByteSize = 7;
        break;
    default:
        Rec.ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB))
        Rec.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        Rec.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        Rec.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(t.c_cflag & CSTOPB))
        Rec.StopBits = ONESTOPBIT;
    else
        Rec.StopBits = Rec.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;

    uint32_t flags = Rec.Flags & ~(DCB_fParity | DCB_fOutX | DCB_fInX | DCB_fOutxCtsFlow);
    flags |= DCB_fBinary;
    if (t.c_iflag & INPCK)
        flags |= DCB_fParity;
    if (t.c_iflag & IXON)
        flags |= DCB_fOutX;
    if (t.c_iflag & IXOFF)
        flags |= DCB_fInX;
    if (t.c_cflag & CRTSCTS) {
        flags = (flags & ~DCB_fRtsControlMask) | DCB_fOutxCtsFlow | DCB_fRtsControlHandshake;
    } else if ((flags & DCB_fRtsControlMask) == DCB_fRtsControlHandshake) {
        flags = (flags & ~DCB_fRtsControlMask) | DCB_fRtsControlEnable;
    }
    Rec.Flags = flags;
    Rec.XonChar = static_cast<char>(t.c_cc[VSTART]);
    Rec.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return true;
}

bool PosixInQueue(int Fd, int32_t& Count)
{
    int n = 0;
    if (ioctl(Fd, FIONREAD, &n) != 0)
        return false;
    Count = n;
    return true;
}

bool PosixOutQueue(int Fd, int32_t& Count)
{
    int n = 0;
    if (ioctl(Fd, TIOCOUTQ, &n) != 0)
        return false;
    Count = n;
    return true;
}

bool PosixPurge(int Fd, uint32_t PurgeFlags)
{
    const bool tx = PurgeFlags & (PURGE_TXABORT | PURGE_TXCLEAR);
    const bool rx = PurgeFlags & (PURGE_RXABORT | PURGE_RXCLEAR);
    if (!tx && !rx)
        return true;
    return tcflush(Fd, tx && rx ? TCIOFLUSH : tx ? TCOFLUSH : TCIFLUSH) == 0;
}

bool PosixDrain(int Fd)
{
    int r;
    do {
        r = tcdrain(Fd);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

bool PosixSetLowLatency(int Fd, bool On, bool& Was)
{
    serial_struct ss{};
    if (ioctl(Fd, TIOCGSERIAL, &ss) != 0)
        return false;
    Was = (ss.flags & ASYNC_LOW_LATENCY) != 0;
    if (Was == On)
        return true;
    ss.flags = On ? ss.flags | ASYNC_LOW_LATENCY : ss.flags & ~ASYNC_LOW_LATENCY;
    if (ioctl(Fd, TIOCSSERIAL, &ss) != 0)
        return false;
    // Some drivers accept the call and drop the flag.
    serial_struct now{};
    return ioctl(Fd, TIOCGSERIAL, &now) == 0 && ((now.flags & ASYNC_LOW_LATENCY) != 0) == On;
}

bool PosixEscapeComm(int Fd, uint32_t Func)
{
    int bit;
    switch (Func) {
    case 1: // SETXOFF
        return tcflow(Fd, TCOOFF) == 0;
    case 2: // SETXON
        return tcflow(Fd, TCOON) == 0;
    case SETRTS:
        bit = TIOCM_RTS;
        return ioctl(Fd, TIOCMBIS, &bit) == 0;
    case CLRRTS:
        bit = TIOCM_RTS;
        return ioctl(Fd, TIOCMBIC, &bit) == 0;
    case SETDTR:
        bit = TIOCM_DTR;
        return ioctl(Fd, TIOCMBIS, &bit) == 0;
    case CLRDTR:
        bit = TIOCM_DTR;
        return ioctl(Fd, TIOCMBIC, &bit) == 0;
    case 8: // SETBREAK
        return ioctl(Fd, TIOCSBRK) == 0;
    case 9: // CLRBREAK
        return ioctl(Fd, TIOCCBRK) == 0;
    default:
        return false;
    }
}

bool PosixModemStatus(int Fd, uint32_t& Status)
{
    int bits = 0;
    if (ioctl(Fd, TIOCMGET, &bits) != 0)
        return false;
    Status = 0;
    if (bits & TIOCM_CTS)
        Status |= MS_CTS_ON;
    if (bits & TIOCM_DSR)
        Status |= MS_DSR_ON;
    if (bits & TIOCM_RNG)
        Status |= MS_RING_ON;
    if (bits & TIOCM_CAR)
        Status |= MS_RLSD_ON;
    return true;
}

bool PosixLineCounts(int Fd, TPosixLineCounts& Counts)
{
    serial_icounter_struct ic{};
    if (ioctl(Fd, TIOCGICOUNT, &ic) != 0)
        return false;
    Counts.Frame = ic.frame;
    Counts.Overrun = ic.overrun;
    Counts.Parity = ic.parity;
    Counts.Brk = ic.brk;
    Counts.BufOverrun = ic.buf_overrun;
    Counts.Rng = ic.rng;
    return true;
}

uint32_t ModemStatusEvents(uint32_t Old, uint32_t New)
{
    const uint32_t changed = Old ^ New;
    uint32_t ev = 0;
    if (changed & MS_CTS_ON)
        ev |= EV_CTS;
    if (changed & MS_DSR_ON)
        ev |= EV_DSR;
    if (changed & MS_RLSD_ON)
        ev |= EV_RLSD;
    if ((New & MS_RING_ON) && !(Old & MS_RING_ON))
        ev |= EV_RING;
    return ev;
}

uint32_t ErrorCountBits(const TPosixLineCounts& Old, const TPosixLineCounts& New)
{
    uint32_t bits = 0;
    if (New.Frame != Old.Frame)
        bits |= CE_FRAME;
    if (New.Overrun != Old.Overrun)
        bits |= CE_OVERRUN;
    if (New.Parity != Old.Parity)
        bits |= CE_RXPARITY;
    if (New.Brk != Old.Brk)
        bits |= CE_BREAK;
    if (New.BufOverrun != Old.BufOverrun)
        bits |= CE_RXOVER;
    return bits;
}

namespace
{
// One read or write, repeated when a signal interrupts it; 0 when it would block.
template <typename TCall> int32_t RetriedTransfer(TCall&& Call, int32_t Count, int& Errno)
{
    Errno = 0;
    if (Count <= 0)
        return 0;
    for (;;) {
        const ssize_t n = Call(static_cast<size_t>(Count));
        if (n >= 0)
            return static_cast<int32_t>(n);
        if (errno == EINTR)
            continue;
        Errno = errno;
        return PosixWouldBlock(Errno) ? 0 : -1;
    }
}
} // namespace

int32_t PosixRead(int Fd, void* Buf, int32_t Count, int& Errno)
{
    return RetriedTransfer([&](size_t n) { return ::read(Fd, Buf, n); }, Count, Errno);
}

int32_t PosixWrite(int Fd, const void* Buf, int32_t Count, int& Errno)
{
    return RetriedTransfer([&](size_t n) { return ::write(Fd, Buf, n); }, Count, Errno);
}

bool PosixWouldBlock(int Errno)
{
    return Errno == EAGAIN || Errno == EWOULDBLOCK;
}

TPosixEvent::TPosixEvent() : FFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TPosixEvent::~TPosixEvent()
{
    if (FFd >= 0)
        ::close(FFd);
}

void TPosixEvent::Set()
{
    const uint64_t one = 1;
    // Fails only when the counter would overflow: it is set already.
    [[maybe_unused]] ssize_t n = ::write(FFd, &one, sizeof one);
}

bool TPosixEvent::Reset()
{
    uint64_t v = 0;
    return ::read(FFd, &v, sizeof v) == static_cast<ssize_t>(sizeof v);
}

int PosixWait(TPosixWaitItem* Items, int Count, int TimeoutMs)
{
    pollfd fds[8];
    if (Count > 8)
        Count = 8;
    for (int i = 0; i < Count; ++i) {
        fds[i].fd = Items[i].Fd;
        fds[i].events =
            static_cast<short>((Items[i].WantRead ? POLLIN : 0) | (Items[i].WantWrite ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    int r;
    do {
        r = ::poll(fds, static_cast<nfds_t>(Count), TimeoutMs);
    } while (r < 0 && errno == EINTR);
    for (int i = 0; i < Count; ++i) {
        Items[i].Readable = fds[i].revents & POLLIN;
        Items[i].Writable = fds[i].revents & POLLOUT;
        Items[i].HangUp = fds[i].revents & (POLLHUP | POLLERR | POLLNVAL);
    }
    return r < 0 ? 0 : r;
}
