// Only these two headers: <termios.h> would clash with the kernel's struct termios.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "tools/devsim/LineTermios.h"

namespace devsim
{

bool SetRawLine(int Fd, unsigned Rate)
{
    struct termios2 T {
    };
    if (ioctl(Fd, TCGETS2, &T) != 0)
        return false;
    T.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    T.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    T.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // No handshake: a null-modem cable may not carry RTS/CTS.
    T.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    T.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    T.c_cc[VMIN] = 1;
    T.c_cc[VTIME] = 0;
    T.c_ispeed = Rate;
    T.c_ospeed = Rate;
    return ioctl(Fd, TCSETS2, &T) == 0;
}

unsigned LineRate(int Fd)
{
    struct termios2 T {
    };
    if (ioctl(Fd, TCGETS2, &T) != 0)
        return 0;
    return T.c_ospeed;
}

} // namespace devsim
