// Kept apart from <termios.h>, which cannot share a file with <asm/termbits.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

bool MasterRate(int Fd, unsigned& InRate, unsigned& OutRate)
{
    struct termios2 t;
    if (ioctl(Fd, TCGETS2, &t) != 0)
        return false;
    InRate = t.c_ispeed;
    OutRate = t.c_ospeed;
    return true;
}
