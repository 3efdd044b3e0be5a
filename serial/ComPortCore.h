#pragma once
// The open serial device of one port component: opens and configures it,
// runs an event thread (line events, drained send buffer, 200 ms poll of a
// quiet line) and a write thread (drains the send ring buffer), and reports
// to its owner through one callback. Received bytes stay in the driver's
// queue until the owner reads them with ReadData.
//
// Settings changes and the byte stream: bytes still on their way when the
// rate changes leave at the new rate and arrive as junk (an acknowledgement
// written at 57600 just before the port goes to 9600). So SetDCB on an open
// port applies the record at once only when the line is idle: nothing in the
// send buffer, no earlier change waiting, the driver's output queue empty,
// and either the estimated wire time of the bytes last handed to the driver
// (bytes x bits per character / rate) over by LineMargin, or the device has
// answered since (bytes read after the last byte went out). Otherwise the change takes
// its place in the stream and the write thread applies it once every byte
// written before it has been handed to the driver, the driver has drained
// (tcdrain; with RTS/CTS its queue is watched instead, as a held-off line
// would keep tcdrain, and Close, waiting), and the wire time plus LineMargin
// has passed: a USB adapter reports bytes gone when they reach the chip,
// whose FIFO still sends them, and a pty has no drain at all. Once drained,
// the wait is at most the wire time of LineBacklog bytes: past the driver's
// queue only an adapter's FIFO is left, and a link that took the bytes
// faster than the rate (a USB device that ignores it, a pty whose reader
// keeps up) has them already, where the estimate alone would hold a change
// back for seconds after a burst. Bytes written after the change wait
// behind it (no direct write to the driver meanwhile); several changes keep
// their places. The main thread never waits for any of this.
// - DCB() shows the new record as soon as SetDCB returns. DTR and RTS set by
//   EscapeComm meanwhile stay as set when the change is applied.
// - A waiting change the line refuses is reported like other worker-thread
//   errors, through the application's exception handler in the main thread,
//   with the message SetDCB would raise. Unless a later change was asked for
//   meanwhile, DCB() and the owner (through the settings-refused target) then
//   go back to what the line has.
// - Close discards waiting changes with the unsent bytes; the next Open
//   applies the record anyway. Close makes the only purge of the output; a
//   purge that kept the port open would drop the bytes before a change, so
//   the latest waiting change would have to be applied at once.
// - On a port whose device hung up SetDCB applies at once, as before, and the
//   dead line refuses it; a change already waiting stays with the bytes that
//   cannot leave, unreported (the hang-up is), until Close.
#include "serial/ComPortTypes.h"
#include "serial/PosixSerial.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include "serial/PortError.h"

#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

class EComPortCoreError : public EPortError
{
  public:
    using EPortError::EPortError;
};

// The message of a failed open of the port called Name ("COM5", or a path)
// whose device is DevicePath. A port that this user may not open says why
// and how to fix it.
std::string OpenFailureText(TPosixOpenResult Result, const std::string& Name, const std::string& DevicePath);

// What an open did to make the port pass received bytes on at once, and what
// the close puts back. A USB adapter holds received bytes until its latency
// timer runs out (16 ms on FTDI chips), which a stop-and-wait exchange pays on
// every message. Ports that have neither setting (a pty, most on-board UARTs)
// are used as they are.
struct TLatencySetup {
    bool LowLatency = false;    // ASYNC_LOW_LATENCY is on
    bool LowLatencySet = false; // ... because this open set it (the close clears it)
    std::string TimerPath;      // the adapter's latency timer; empty: none
    int TimerBefore = -1;       // ms, as found (−1: unreadable)
    int TimerNow = -1;          // ms, as left by the open
    std::string TimerError;     // why it could not be changed
    // "low-latency mode on, latency timer 16 -> 1 ms", "low-latency mode not available".
    std::string Text() const;
};

class TComPortCore;
class TComPortEventThread;
class TComPortWriteThread;

// Exception is set only for ceException: the error to raise in the main thread.
using TCoreEventTarget = std::function<void(TComPortCore* Sender, TCoreEvent EventKind, uint32_t Data,
                                            const std::exception_ptr& Exception)>;
// Main thread: a waiting settings change was refused and DCB() went back to
// what the line has.
using TSettingsRefusedTarget = std::function<void(TComPortCore* Sender)>;

// The message of a record the line does not take.
extern const char* const SCoreDCBError;

class TComPortCore
{
  public:
    // Events waited for: EV_RXCHAR, EV_CTS, EV_DSR, EV_RLSD, EV_ERR, EV_RING.
    static constexpr uint32_t EventMask = 0x01B9;

    TComPortCore();
    ~TComPortCore();
    TComPortCore(const TComPortCore&) = delete;
    TComPortCore& operator=(const TComPortCore&) = delete;

    // Opens port n through the port map, or DevicePath when it is not empty.
    // False (and no change) when already active; raises EComPortCoreError.
    bool OpenComPort(int32_t n, const std::string& DevicePath = std::string());
    void CloseComPort();

    // −1 when not ready; otherwise the bytes read at once (0 when none or on error).
    int32_t ReadData(void* Buf, int32_t Count);
    // All or nothing; False when not ready, Count < 1 or Count > OutBufFree().
    // With the send buffer empty the bytes are handed to the driver at once.
    bool WriteData(const void* Buf, int32_t Count);
    int32_t OutBufFree();
    void GetComStat(TComStat& Stat);
    uint32_t ReadErrors();
    bool EscapeComm(uint32_t Func);
    // Stores the record. When ready and the line is idle applies it at once,
    // and on refusal reads back what the device kept and raises "Error setting
    // parameters from DCB"; otherwise it waits for the bytes written before it
    // (see the top of this file).
    void SetDCB(const TDCB& Rec);
    // Left between the estimated end of the last byte on the line and a
    // settings change: a few USB frames and the scheduler.
    static constexpr std::chrono::milliseconds LineMargin{20};
    // The most bytes a drained line is taken to be still sending: an
    // adapter's FIFO, with room to spare.
    static constexpr uint64_t LineBacklog = 1024;
    const TDCB& DCB() const { return FDCB; }

    bool Active() const { return FActive.load(); }
    bool Ready() const { return FReady.load(); }
    // True once the event thread saw the device hang up; cleared by the next open.
    bool HungUp() const { return FHungUp.load(); }
    int Handle() const { return FHandle.load(); }
    int32_t ComNumber() const { return FComNumber; }
    // The device path that was opened (empty when closed).
    const std::string& DevicePath() const { return FDevicePath; }
    // What the last open set (see TLatencySetup); kept after the close.
    const TLatencySetup& LatencySetup() const { return FLatency; }
    // The latency timer an open asks an adapter for, in ms.
    static constexpr int LowLatencyTimerMs = 1;

    int32_t InQueueSize() const { return FInQueueSize; }
    void SetInQueueSize(int32_t Value) { FInQueueSize = Value; }
    int32_t SendBufferSize() const { return FSendBufferSize; }
    void SetSendBufferSize(int32_t Value) { FSendBufferSize = Value; }
    TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }
    void SetEventThreadPriority(TThreadPriority Value) { FEventThreadPriority = Value; }
    TThreadPriority WriteThreadPriority() const { return FWriteThreadPriority; }
    void SetWriteThreadPriority(TThreadPriority Value) { FWriteThreadPriority = Value; }

    // Set by the owner before the first open.
    void SetEventTarget(TCoreEventTarget Target) { FEventTarget = std::move(Target); }
    void SetSettingsRefusedTarget(TSettingsRefusedTarget Target) { FSettingsRefused = std::move(Target); }
    // Whom the exceptions of this core's threads belong to (see TExceptionOwner);
    // set in the main thread before the port opens.
    void SetExceptionOwner(const void* Owner) { FExceptionOwner = Owner; }
    const void* ExceptionOwner() const { return FExceptionOwner; }

    // How often the event thread has woken up since the core was created
    // (for tests and benchmarks: an idle port must stay nearly asleep).
    uint64_t EventThreadWakeups() const { return FWakeups.load(); }

  private:
    friend class TComPortEventThread;
    friend class TComPortWriteThread;

    void DeviceClose();
    void LowerLatency(int Fd);
    void RestoreLatency(int Fd);
    std::string PortName() const;
    // Reads the driver's error counters; new errors are accumulated and
    // flagged for the event thread. Caller holds FPortLock.
    void PollLineErrorsLocked();
    // Write thread: the waiting change Seq was refused and the line kept Line.
    void ReportRefusedSettings(uint64_t Seq, const TDCB& Line);

    int32_t FComNumber = 0;
    std::string FRequestedPath; // given by the owner; empty = through the port map
    std::string FDevicePath;
    TDCB FDCB{};
    TLatencySetup FLatency;
    uint64_t FDCBSeq = 0; // counts SetDCB calls (main thread)
    std::atomic<int> FHandle{-1};
    std::atomic<bool> FReady{false};
    std::atomic<bool> FActive{false};
    std::atomic<bool> FHungUp{false};
    uint32_t FErrors = 0;
    std::atomic<bool> FErrorEventPending{false};
    int32_t FInQueueSize = 8192;
    int32_t FSendBufferSize = 4096;
    TThreadPriority FWriteThreadPriority = tpHigher;
    TThreadPriority FEventThreadPriority = tpNormal;
    TCoreEventTarget FEventTarget;
    TSettingsRefusedTarget FSettingsRefused;
    const void* FExceptionOwner = nullptr;
    // Expires with the core: a refusal reported after the core is gone
    // touches nothing of it.
    std::shared_ptr<char> FAlive = std::make_shared<char>();

    std::mutex FPortLock;  // device reads, status reads, error accumulator, close
    std::mutex FWriteLock; // the send ring buffer, waiting settings changes, the line estimate
    // The driver's error counters at the last look, and whether it has them.
    struct TErrorCounts {
        int32_t Frame = 0, Overrun = 0, Parity = 0, Brk = 0, BufOverrun = 0, Rng = 0;
    } FLastCounts;
    bool FHasCounts = false;
    // Set by the write thread when the send buffer has been written out.
    std::unique_ptr<TPosixEvent> FTxEmpty;

    std::unique_ptr<TComPortWriteThread> FWriteThread;
    std::unique_ptr<TComPortEventThread> FEventThread;
    std::atomic<uint64_t> FReadTotal{0}; // bytes taken by ReadData, to tell new input from old
    std::atomic<uint64_t> FWakeups{0};
};
