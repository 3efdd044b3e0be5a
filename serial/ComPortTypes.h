#pragma once
// Types shared by the serial port component, its core and the POSIX layer.
// The line-settings record keeps the layout of the Windows DCB (28 bytes,
// little-endian fields) because the component's properties are defined in
// terms of its fields and flag bits.
#include <cstdint>

struct TDCB {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t Flags;
    uint16_t wReserved;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    uint16_t wReserved1;
};
static_assert(sizeof(TDCB) == 28, "TDCB must keep the DCB layout");

// TDCB::Flags bits
constexpr uint32_t DCB_fBinary = 0x0001;
constexpr uint32_t DCB_fParity = 0x0002;
constexpr uint32_t DCB_fOutxCtsFlow = 0x0004;
constexpr uint32_t DCB_fOutxDsrFlow = 0x0008;
constexpr uint32_t DCB_fDtrControlMask = 0x0030;
constexpr uint32_t DCB_fDtrControlEnable = 0x0010;
constexpr uint32_t DCB_fDtrControlHandshake = 0x0020;
constexpr uint32_t DCB_fDsrSensitivity = 0x0040;
constexpr uint32_t DCB_fTXContinueOnXoff = 0x0080;
constexpr uint32_t DCB_fOutX = 0x0100;
constexpr uint32_t DCB_fInX = 0x0200;
constexpr uint32_t DCB_fErrorChar = 0x0400;
constexpr uint32_t DCB_fNull = 0x0800;
constexpr uint32_t DCB_fRtsControlMask = 0x3000;
constexpr uint32_t DCB_fRtsControlEnable = 0x1000;
constexpr uint32_t DCB_fRtsControlHandshake = 0x2000;
constexpr uint32_t DCB_fRtsControlToggle = 0x3000;
constexpr uint32_t DCB_fAbortOnError = 0x4000;

// TDCB::Parity and TDCB::StopBits values
constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

// Line events (the event mask of a ceCommEvent)
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_RXFLAG = 0x0002;
constexpr uint32_t EV_TXEMPTY = 0x0004;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;

// Line error bits, accumulated by the core and handed out by ReadErrors
constexpr uint32_t CE_RXOVER = 0x0001;
constexpr uint32_t CE_OVERRUN = 0x0002;
constexpr uint32_t CE_RXPARITY = 0x0004;
constexpr uint32_t CE_FRAME = 0x0008;
constexpr uint32_t CE_BREAK = 0x0010;

// Modem status bits
constexpr uint32_t MS_CTS_ON = 0x0010;
constexpr uint32_t MS_DSR_ON = 0x0020;
constexpr uint32_t MS_RING_ON = 0x0040;
constexpr uint32_t MS_RLSD_ON = 0x0080;

// Purge flags
constexpr uint32_t PURGE_TXABORT = 0x0001;
constexpr uint32_t PURGE_RXABORT = 0x0002;
constexpr uint32_t PURGE_TXCLEAR = 0x0004;
constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// EscapeComm functions
constexpr uint32_t SETRTS = 3;
constexpr uint32_t CLRRTS = 4;
constexpr uint32_t SETDTR = 5;
constexpr uint32_t CLRDTR = 6;

struct TComStat {
    uint32_t Flags;
    uint32_t cbInQue;
    uint32_t cbOutQue;
};

enum TCoreEvent : uint8_t { ceOutFree = 0, ceCommEvent = 1, ceDataReceived = 2, ceException = 3 };

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
