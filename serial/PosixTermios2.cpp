// termios2 / BOTHER: the only way to set a rate that has no Bxxx constant
// (14400, 56000, 128000, 256000, user rates). <asm/termbits.h> cannot be
// combined with <termios.h>, so this file includes only it and <sys/ioctl.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "serial/PosixSerial.h"

bool PosixSetRate(int Fd, uint32_t InRate, uint32_t OutRate)
{
    struct termios2 t;
    if (ioctl(Fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = InRate;
    t.c_ospeed = OutRate;
    return ioctl(Fd, TCSETS2, &t) == 0;
}

bool PosixGetRate(int Fd, uint32_t& InRate, uint32_t& OutRate)
{
    struct termios2 t;
    if (ioctl(Fd, TCGETS2, &t) != 0)
        return false;
    InRate = t.c_ispeed;
    OutRate = t.c_ospeed;
    return true;
}
