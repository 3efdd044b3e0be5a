#pragma once
// The pty calls that need the kernel's termios2 (any baud rate, and the real
// rate the other side set). They live in their own translation unit because
// <asm/termbits.h> cannot be included together with <termios.h>.

namespace devsim
{

// Puts the line into raw 8N1 mode at Rate bit/s, so nothing the device writes is
// echoed back or translated before the tool sets its own mode.
bool SetRawLine(int Fd, unsigned Rate);

// The output rate the tool last set on the line (read through the master); 0 when
// the line cannot be asked.
unsigned LineRate(int Fd);

} // namespace devsim
