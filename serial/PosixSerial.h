#pragma once
// The POSIX serial layer: every termios and ioctl call of the serial port
// lives behind these functions, so the core and the component stay free of
// <termios.h>. Descriptors are plain ints; −1 means none.
#include "serial/ComPortTypes.h"

#include <cstdint>
#include <string>

// porNoPermission is a port that exists but that this user may not open.
enum TPosixOpenResult { porOk, porNoSuchPort, porCantOpen, porNoPermission };

// What a failed open() of an existing path means, by its errno.
TPosixOpenResult PosixOpenFailure(int Errno);

// Opens a tty for exclusive use: non-blocking, no controlling terminal,
// flock(LOCK_EX|LOCK_NB) and TIOCEXCL. Returns the descriptor, or −1 with
// Result telling a missing device from one that exists but cannot be had.
// The device counts as held by this process until PosixClosePort.
int PosixOpenPort(const std::string& Path, TPosixOpenResult& Result);
// Releases TIOCEXCL (it outlives the descriptor on a pty) and closes.
void PosixClosePort(int Fd);
// Whether a port of this process holds the device at Path (through any link
// to it) open.
bool PosixHeldHere(const std::string& Path);
// psInUse / psFree / psMissing (see PortControls.h) of the device at Path.
// A device this process holds is in use and is not opened again; Why (when
// given) tells porNoPermission from other reasons for psInUse.
uint32_t PosixProbePort(const std::string& Path, TPosixOpenResult* Why = nullptr);
// How many devices the probes have opened since the start (tests check that
// a refill leaves alone what it should).
uint64_t PosixProbeOpens();

// Raw mode, reads that return at once (VMIN = VTIME = 0).
bool PosixSetRawMode(int Fd);
// Applies the record; a setting the line does not take (checked by reading
// it back) is refused and the previous settings are restored.
bool PosixApplyDCB(int Fd, const TDCB& Rec);
// The device's current settings as a record; fields that termios does not
// hold (queue limits, DTR/RTS control) are kept from Rec.
bool PosixReadDCB(int Fd, TDCB& Rec);

bool PosixInQueue(int Fd, int32_t& Count);
bool PosixOutQueue(int Fd, int32_t& Count);
bool PosixPurge(int Fd, uint32_t PurgeFlags);
// Blocks until the driver has sent everything written so far (tcdrain), with
// no time-out: a purge of the output from another thread ends the wait, but
// a line held off by RTS/CTS may keep it for good. A pty returns at once, and
// some USB adapters as soon as the bytes reached the chip.
bool PosixDrain(int Fd);
// The driver's low-latency mode (ASYNC_LOW_LATENCY through TIOCSSERIAL): received
// bytes are passed on at once (on an FTDI adapter: a 1 ms latency timer). Was
// tells whether it was on before. False where the driver has no such setting
// (ENOTTY on a pty, EINVAL) or does not keep it.
bool PosixSetLowLatency(int Fd, bool On, bool& Was);
bool PosixEscapeComm(int Fd, uint32_t Func);
// MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON; False where the driver has
// no modem lines (a pty).
bool PosixModemStatus(int Fd, uint32_t& Status);

struct TPosixLineCounts {
    int32_t Frame, Overrun, Parity, Brk, BufOverrun, Rng;
};
// The driver's interrupt counters (TIOCGICOUNT); False where it has none.
bool PosixLineCounts(int Fd, TPosixLineCounts& Counts);

// Line events (EV_CTS, EV_DSR, EV_RLSD, EV_RING) for a change of modem status.
uint32_t ModemStatusEvents(uint32_t Old, uint32_t New);
// CE_ bits for the counter increases from Old to New.
uint32_t ErrorCountBits(const TPosixLineCounts& Old, const TPosixLineCounts& New);

// read()/write() on a non-blocking descriptor: bytes moved, 0 when it would
// block, −1 on error (Errno set).
int32_t PosixRead(int Fd, void* Buf, int32_t Count, int& Errno);
int32_t PosixWrite(int Fd, const void* Buf, int32_t Count, int& Errno);
bool PosixWouldBlock(int Errno);

// An auto-reset event on an eventfd, waitable together with a device.
class TPosixEvent
{
  public:
    TPosixEvent();
    ~TPosixEvent();
    TPosixEvent(const TPosixEvent&) = delete;
    TPosixEvent& operator=(const TPosixEvent&) = delete;
    bool Valid() const { return FFd >= 0; }
    int Fd() const { return FFd; }
    void Set();
    // Clears the event; True when it was set.
    bool Reset();

  private:
    int FFd;
};

struct TPosixWaitItem {
    int Fd;         // −1: ignored
    bool WantRead;  // POLLIN
    bool WantWrite; // POLLOUT
    bool Readable;  // out
    bool Writable;  // out
    bool HangUp;    // out: POLLHUP, POLLERR or POLLNVAL (reported whatever was asked)
};
// poll() over the items; TimeoutMs < 0 waits without limit. Returns the
// number of ready items, 0 on time-out; EINTR is retried.
int PosixWait(TPosixWaitItem* Items, int Count, int TimeoutMs);

// termios2 with BOTHER, in its own translation unit (PosixTermios2.cpp),
// because <asm/termbits.h> and <termios.h> cannot share one.
bool PosixSetRate(int Fd, uint32_t InRate, uint32_t OutRate);
bool PosixGetRate(int Fd, uint32_t& InRate, uint32_t& OutRate);
