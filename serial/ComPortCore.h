#pragma once
// The open serial device of one port component: opens and configures it,
// runs an event thread (line events, drained send buffer, 200 ms poll of a
// quiet line) and a write thread (drains the send ring buffer), and reports
// to its owner through one callback. Received bytes stay in the driver's
// queue until the owner reads them with ReadData.
#include "serial/ComPortTypes.h"
#include "serial/PosixSerial.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

class EComPortCoreError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

// The message of a failed open of the port called Name ("COM5", or a path)
// whose device is DevicePath. A port that this user may not open says why
// and how to fix it.
std::string OpenFailureText(TPosixOpenResult Result, const std::string& Name, const std::string& DevicePath);

class TComPortCore;
class TComPortEventThread;
class TComPortWriteThread;

// Exception is set only for ceException: the error to raise in the main thread.
using TCoreEventTarget = std::function<void(TComPortCore* Sender, TCoreEvent EventKind, uint32_t Data,
                                            const std::exception_ptr& Exception)>;

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
    // Stores the record; when ready applies it, and on refusal reads back what
    // the device kept and raises "Error setting parameters from DCB".
    void SetDCB(const TDCB& Rec);
    const TDCB& DCB() const { return FDCB; }

    bool Active() const { return FActive.load(); }
    bool Ready() const { return FReady.load(); }
    // True once the event thread saw the device hang up; cleared by the next open.
    bool HungUp() const { return FHungUp.load(); }
    int Handle() const { return FHandle.load(); }
    int32_t ComNumber() const { return FComNumber; }
    // The device path that was opened (empty when closed).
    const std::string& DevicePath() const { return FDevicePath; }

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

    // How often the event thread has woken up since the core was created
    // (for tests and benchmarks: an idle port must stay nearly asleep).
    uint64_t EventThreadWakeups() const { return FWakeups.load(); }

  private:
    friend class TComPortEventThread;
    friend class TComPortWriteThread;

    void DeviceClose();
    std::string PortName() const;
    // Reads the driver's error counters; new errors are accumulated and
    // flagged for the event thread. Caller holds FPortLock.
    void PollLineErrorsLocked();

    int32_t FComNumber = 0;
    std::string FRequestedPath; // given by the owner; empty = through the port map
    std::string FDevicePath;
    TDCB FDCB{};
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

    std::mutex FPortLock;  // device reads, status reads, error accumulator, close
    std::mutex FWriteLock; // the send ring buffer
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
