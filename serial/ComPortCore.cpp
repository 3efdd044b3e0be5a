#include "serial/ComPortCore.h"

#include "serial/AppException.h"
#include "serial/CircularBuffer.h"
#include "serial/PortAdapter.h"
#include "serial/PortMap.h"
#include "serial/PosixSerial.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>

const char* const SCoreDCBError = "Error setting parameters from DCB";

namespace
{

using Clock = std::chrono::steady_clock;

std::string Format(const char* Fmt, const std::string& Arg)
{
    char buf[512];
    std::snprintf(buf, sizeof buf, Fmt, Arg.c_str());
    return buf;
}

void ReportNow(const std::exception_ptr& E, const void* Owner)
{
    const TExceptionOwner Scope(Owner);
    try {
        std::rethrow_exception(E);
    } catch (...) {
        ApplicationHandleCurrentException();
    }
}

std::string UserName(uid_t Uid)
{
    passwd pw, *found = nullptr;
    char buf[1024];
    if (getpwuid_r(Uid, &pw, buf, sizeof buf, &found) == 0 && found)
        return pw.pw_name;
    return std::to_string(Uid);
}

std::string GroupName(gid_t Gid)
{
    group gr, *found = nullptr;
    char buf[4096];
    if (getgrgid_r(Gid, &gr, buf, sizeof buf, &found) == 0 && found)
        return gr.gr_name;
    return std::to_string(Gid);
}

// Shows an exception of a worker thread in the main thread.
void ReportInMainThread(std::exception_ptr E, const void* Owner)
{
    auto* app = QCoreApplication::instance();
    if (app)
        QMetaObject::invokeMethod(
            app, [E, Owner] { ReportNow(E, Owner); }, Qt::QueuedConnection);
    else
        ReportNow(E, Owner);
}

// How long the line needs for Bytes characters with the settings of Rec:
// start bit, data bits, parity bit, 1, 1.5 or 2 stop bits.
Clock::duration WireTime(const TDCB& Rec, uint64_t Bytes)
{
    if (Rec.BaudRate == 0)
        return Clock::duration::zero();
    const unsigned stopHalfBits = Rec.StopBits == ONESTOPBIT ? 2 : Rec.StopBits == ONE5STOPBITS ? 3 : 4;
    const unsigned halfBits = 2 * (1 + Rec.ByteSize + (Rec.Parity != NOPARITY ? 1 : 0)) + stopHalfBits;
    const double seconds = static_cast<double>(Bytes) * halfBits / (2.0 * Rec.BaudRate);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool IsAbort(const std::exception_ptr& E)
{
    try {
        std::rethrow_exception(E);
    } catch (const EAbort&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Worker threads

class TComPortCoreThread
{
  public:
    explicit TComPortCoreThread(TComPortCore* Core) : FCore(Core), FHandle(Core->Handle()) {}
    virtual ~TComPortCoreThread()
    {
        if (FThread.joinable()) {
            FTerminated = true;
            FStopEvent.Set();
            FThread.join();
        }
    }
    TComPortCoreThread(const TComPortCoreThread&) = delete;
    TComPortCoreThread& operator=(const TComPortCoreThread&) = delete;

    // Starts the thread and waits until it runs; False when it did not
    // report within TimeoutMs.
    bool Start(int TimeoutMs)
    {
        if (!FStopEvent.Valid())
            return false;
        try {
            FThread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;
        }
        std::unique_lock<std::mutex> lk(FStartLock);
        return FStartCond.wait_for(lk, std::chrono::milliseconds(TimeoutMs), [this] { return FStarted; });
    }

    bool Started() const { return FThread.joinable(); }

    virtual void HandleException(std::exception_ptr E)
    {
        if (!IsAbort(E))
            ReportInMainThread(E, FCore->ExceptionOwner());
    }

    virtual void StopThread()
    {
        FTerminated = true;
        FStopEvent.Set();
        if (FThread.joinable())
            FThread.join();
    }

  protected:
    virtual void Execute() = 0;

    void SignalStarted()
    {
        {
            std::lock_guard<std::mutex> g(FStartLock);
            FStarted = true;
        }
        FStartCond.notify_all();
    }

    TComPortCore* FCore;
    const int FHandle;
    TPosixEvent FStopEvent; // never reset: stays set once stopping
    std::atomic<bool> FTerminated{false};

  private:
    void Run()
    {
        try {
            Execute();
        } catch (...) {
            HandleException(std::current_exception());
        }
        // A thread that ended early must not leave Start waiting.
        SignalStarted();
    }

    std::thread FThread;
    std::mutex FStartLock;
    std::condition_variable FStartCond;
    bool FStarted = false;
};

class TComPortWriteThread : public TComPortCoreThread
{
  public:
    TComPortWriteThread(TComPortCore* Core, int32_t BufferSize)
        : TComPortCoreThread(Core), FBuffer(BufferSize)
    {
    }

    bool EventsValid() const { return FFlushAck.Valid() && FFlushRequest.Valid() && FDataReady.Valid(); }

    // Caller holds the core's write lock.
    TCircularBuffer& Buffer() { return FBuffer; }
    void DataReady() { FDataReady.Set(); }

    // The rest of the public part is for the core too; caller holds its
    // write lock.

    // The settings the line has now.
    void SetLine(const TDCB& Rec) { FLine = Rec; }
    // A change may be applied at once: nothing of the stream is left in the
    // buffer or waits for an earlier change, and the last byte handed to the
    // driver is off the line (by the estimate).
    bool LineIdle() const
    {
        return FPending.empty() && FBuffer.Used() == 0 &&
               (FAnswered || Clock::now() >= FLineFreeAt + TComPortCore::LineMargin);
    }
    // Bytes came in after the last byte went to the driver and nothing is
    // left to send: the device answered, so it has everything it was sent
    // (the protocols here answer what they have read). A rate change then
    // need not wait for the estimate, which a fast link has long beaten.
    void DeviceAnswered()
    {
        if (FPending.empty() && FBuffer.Used() == 0)
            FAnswered = true;
    }
    bool ChangeWaiting() const { return !FPending.empty(); }
    // Queues a change behind every byte written so far.
    void Defer(const TDCB& Rec, uint64_t Seq)
    {
        FPending.push_back({Rec, FHanded + static_cast<uint64_t>(FBuffer.Used()), Seq});
        FDataReady.Set();
    }
    // Count bytes went to the driver: the line is busy for their wire time
    // after whatever it still had to send.
    void Handed(int32_t Count)
    {
        FAnswered = false;
        FHanded += static_cast<uint64_t>(Count);
        FLineFreeAt = std::max(FLineFreeAt, Clock::now()) + WireTime(FLine, static_cast<uint64_t>(Count));
    }
    // A modem line set at once must not be put back by a waiting change.
    void FollowModemLine(uint32_t Func)
    {
        for (TPendingSettings& p : FPending) {
            uint32_t& f = p.Rec.Flags;
            if ((Func == SETDTR || Func == CLRDTR) && (f & DCB_fDtrControlMask) != DCB_fDtrControlHandshake)
                f = (f & ~DCB_fDtrControlMask) | (Func == SETDTR ? DCB_fDtrControlEnable : 0);
            if ((Func == SETRTS || Func == CLRRTS) && (f & DCB_fRtsControlMask) != DCB_fRtsControlHandshake)
                f = (f & ~DCB_fRtsControlMask) | (Func == SETRTS ? DCB_fRtsControlEnable : 0);
        }
    }

    // Main thread: has the thread let go of the buffer, then empties it and
    // the driver's output queue. False (nothing discarded) when the thread
    // does not answer within 2000 ms. Waiting settings changes go with the
    // bytes; only Close purges, and it discards them.
    bool Flush()
    {
        FFlushRequest.Set();
        TPosixWaitItem ack{FFlushAck.Fd(), true, false, false, false, false};
        if (PosixWait(&ack, 1, 2000) == 0)
            return false;
        FFlushAck.Reset();
        std::lock_guard<std::mutex> g(FCore->FWriteLock);
        FDataReady.Reset();
        FBuffer.Clear();
        FPending.clear();
        return PosixPurge(FHandle, PURGE_TXABORT | PURGE_TXCLEAR);
    }

    void StopThread() override
    {
        if (Started())
            Flush();
        TComPortCoreThread::StopThread();
    }

  protected:
    void Execute() override
    {
        SignalStarted();
        while (!FTerminated) {
            TPosixWaitItem items[3] = {{FStopEvent.Fd(), true, false, false, false, false},
                                       {FFlushRequest.Fd(), true, false, false, false, false},
                                       {FDataReady.Fd(), true, false, false, false, false}};
            PosixWait(items, 3, -1);
            if (items[0].Readable)
                break;
            if (items[1].Readable) {
                FFlushRequest.Reset();
                FFlushAck.Set();
                continue;
            }
            if (items[2].Readable) {
                FDataReady.Reset();
                WriteOut();
            }
        }
    }

  private:
    struct TPendingSettings {
        TDCB Rec;
        uint64_t At;  // stream position: the bytes written before the change
        uint64_t Seq; // the core's SetDCB count when it was asked for
    };

    // Hands the buffer to the device in contiguous chunks, straight from its
    // memory: the main thread only appends into the free part. A waiting
    // settings change stops the chunks at its position until it is applied.
    void WriteOut()
    {
        for (;;) {
            const uint8_t* p;
            int32_t len;
            bool change = false;
            {
                std::lock_guard<std::mutex> g(FCore->FWriteLock);
                len = FBuffer.ContiguousUsed();
                p = FBuffer.ReadPtr();
                if (!FPending.empty()) {
                    const uint64_t before = FPending.front().At - FHanded;
                    change = before == 0;
                    len = static_cast<int32_t>(std::min<uint64_t>(static_cast<uint64_t>(len), before));
                }
            }
            if (change) {
                if (!ApplyNextChange())
                    return;
                continue;
            }
            if (len == 0)
                return;
            int err = 0;
            const int32_t n = PosixWrite(FHandle, p, len, err);
            if (n > 0) {
                bool empty;
                {
                    std::lock_guard<std::mutex> g(FCore->FWriteLock);
                    FBuffer.Remove(n);
                    Handed(n);
                    empty = FBuffer.Used() == 0;
                }
                if (empty)
                    FCore->FTxEmpty->Set();
                continue;
            }
            if (n < 0)
                return; // device error (hung up): the bytes stay, tried again on the next write
            TPosixWaitItem items[3] = {{FStopEvent.Fd(), true, false, false, false, false},
                                       {FFlushRequest.Fd(), true, false, false, false, false},
                                       {FHandle, false, true, false, false, false}};
            PosixWait(items, 3, -1);
            if (items[0].Readable)
                return;
            if (items[1].Readable) {
                // The chunk stays; the purge that follows the flush drops it.
                FFlushRequest.Reset();
                FFlushAck.Set();
                return;
            }
            if (items[2].HangUp && !items[2].Writable)
                return;
        }
    }

    // Every byte written before the next change is with the driver: waits
    // until they have left it and the line, then applies the change. False
    // when the thread is to stop, a flush came, the port is closing or the
    // device is gone (the change then stays where it is).
    bool ApplyNextChange()
    {
        if (!WaitForDriver() || !WaitForIdleLine(Clock::now()))
            return false;
        TPendingSettings next;
        bool ok;
        TDCB line;
        {
            // Settings and modem lines change only under the write lock, so
            // SetDCB and EscapeComm in the main thread cannot overtake this.
            std::lock_guard<std::mutex> g(FCore->FWriteLock);
            if (!FCore->FReady)
                return false; // closing: Close discards it
            next = FPending.front();
            ok = PosixApplyDCB(FHandle, next.Rec);
            if (ok)
                FLine = next.Rec;
            line = FLine;
            if (!ok && !PosixReadDCB(FHandle, line))
                return false; // hung up: the event thread reports that
            FPending.pop_front();
        }
        if (!ok)
            FCore->ReportRefusedSettings(next.Seq, line);
        return true;
    }

    // Until the driver has sent what it holds. tcdrain has no time-out, and
    // with RTS/CTS a device that holds CTS off (or is switched off) would keep
    // it, and Close with it, waiting for good: there the driver's queue is
    // watched instead, and the wire-time wait covers the adapter's FIFO.
    bool WaitForDriver()
    {
        bool ctsFlow;
        {
            std::lock_guard<std::mutex> g(FCore->FWriteLock);
            ctsFlow = FLine.Flags & DCB_fOutxCtsFlow;
        }
        if (!ctsFlow) {
            PosixDrain(FHandle); // a purge (Close) ends it
            return true;
        }
        int32_t queued = 0;
        while (PosixOutQueue(FHandle, queued) && queued > 0)
            if (!Pause(10))
                return false;
        return true;
    }

    // Until the estimated end of the bytes on the line, but no longer than
    // LineBacklog bytes take after the drain, plus the margin.
    bool WaitForIdleLine(Clock::time_point Drained)
    {
        for (;;) {
            Clock::time_point until;
            {
                std::lock_guard<std::mutex> g(FCore->FWriteLock);
                until = std::min(FLineFreeAt, Drained + WireTime(FLine, TComPortCore::LineBacklog)) +
                        TComPortCore::LineMargin;
            }
            const auto left = until - Clock::now();
            if (left <= Clock::duration::zero())
                return true;
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            if (!Pause(static_cast<int>(std::min<int64_t>(ms, 60000))))
                return false;
        }
    }

    // Waits TimeoutMs; False when the thread is to stop or a flush came
    // (acknowledged here).
    bool Pause(int TimeoutMs)
    {
        TPosixWaitItem items[2] = {{FStopEvent.Fd(), true, false, false, false, false},
                                   {FFlushRequest.Fd(), true, false, false, false, false}};
        PosixWait(items, 2, TimeoutMs);
        if (items[0].Readable)
            return false;
        if (items[1].Readable) {
            FFlushRequest.Reset();
            FFlushAck.Set();
            return false;
        }
        return true;
    }

    TCircularBuffer FBuffer;
    TPosixEvent FFlushAck;
    TPosixEvent FFlushRequest;
    TPosixEvent FDataReady;
    // Under the core's write lock.
    std::deque<TPendingSettings> FPending;
    uint64_t FHanded = 0; // bytes of the stream handed to the driver
    TDCB FLine{};
    Clock::time_point FLineFreeAt{};
    bool FAnswered = false;
};

class TComPortEventThread : public TComPortCoreThread
{
  public:
    explicit TComPortEventThread(TComPortCore* Core) : TComPortCoreThread(Core), FTarget(Core->FEventTarget)
    {
    }

    void HandleException(std::exception_ptr E) override
    {
        if (IsAbort(E))
            return;
        if (FTarget && FTargetOn) {
            // The owner raises it again in the main thread.
            try {
                FTarget(FCore, ceException, 0, E);
                return;
            } catch (...) {
                if (IsAbort(std::current_exception()))
                    return;
            }
        }
        TComPortCoreThread::HandleException(E);
    }

    void StopThread() override
    {
        FTargetOn = false;
        PosixPurge(FHandle, PURGE_RXABORT | PURGE_RXCLEAR);
        TComPortCoreThread::StopThread();
    }

  protected:
    void Execute() override
    {
        FCore->FTxEmpty->Reset();
        SignalStarted();
        uint32_t modem = 0;
        const bool haveModem = PosixModemStatus(FHandle, modem);
        while (!FTerminated) {
            // While the owner leaves bytes unread, POLLIN would report them
            // again at once, forever: the descriptor is then watched for
            // hang-ups only and the 200 ms poll re-announces the bytes.
            TPosixWaitItem items[3] = {{FStopEvent.Fd(), true, false, false, false, false},
                                       {FHungUp ? -1 : FHandle, FArmed, false, false, false, false},
                                       {FCore->FTxEmpty->Fd(), true, false, false, false, false}};
            // After a hang-up nothing is left to poll for.
            const int r = PosixWait(items, 3, FHungUp ? -1 : 200);
            ++FCore->FWakeups;
            if (items[0].Readable || FTerminated)
                break;
            if (items[2].Readable) {
                FCore->FTxEmpty->Reset();
                Notify(ceOutFree, 0);
            }
            if (FHungUp)
                continue;
            if (items[1].HangUp) {
                ReportHangUp();
                continue;
            }
            uint32_t mask = 0;
            if (haveModem) {
                uint32_t now;
                if (PosixModemStatus(FHandle, now)) {
                    mask |= ModemStatusEvents(modem, now);
                    modem = now;
                }
            }
            {
                std::lock_guard<std::mutex> g(FCore->FPortLock);
                FCore->PollLineErrorsLocked();
            }
            if (FCore->FErrorEventPending.exchange(false))
                mask |= EV_ERR;
            if (items[1].Readable)
                mask |= EV_RXCHAR;
            if (mask != 0) {
                NotifyAndRearm(ceCommEvent, mask);
            } else if (r == 0) {
                int32_t count = 0;
                if (!InQueue(count)) {
                    ReportHangUp();
                    continue;
                }
                if (count > 0)
                    NotifyAndRearm(ceDataReceived, static_cast<uint32_t>(count));
            }
        }
    }

  private:
    bool InQueue(int32_t& Count)
    {
        std::lock_guard<std::mutex> g(FCore->FPortLock);
        return PosixInQueue(FHandle, Count);
    }

    void Notify(TCoreEvent Kind, uint32_t Data, const std::exception_ptr& E = nullptr)
    {
        if (!FTarget || !FTargetOn)
            return;
        try {
            FTarget(FCore, Kind, Data, E);
        } catch (...) {
            HandleException(std::current_exception());
        }
    }

    // Notifies, then decides from what the owner did whether to watch for
    // input again: bytes that arrived meanwhile keep it armed, bytes merely
    // left unread disarm it until the queue empties.
    void NotifyAndRearm(TCoreEvent Kind, uint32_t Data)
    {
        int32_t before = 0, after = 0;
        const uint64_t read0 = FCore->FReadTotal.load();
        InQueue(before);
        Notify(Kind, Data);
        if (!InQueue(after)) {
            ReportHangUp();
            return;
        }
        const int64_t arrived =
            static_cast<int64_t>(after) - before + static_cast<int64_t>(FCore->FReadTotal.load() - read0);
        FArmed = after <= 0 || arrived > 0;
    }

    void ReportHangUp()
    {
        if (FHungUp)
            return;
        FHungUp = true;
        FCore->FHungUp = true;
        Notify(ceException, 0,
               std::make_exception_ptr(EComPortCoreError(
                   Format("Connection to %s lost: the device hung up (unplugged or closed at the other end)",
                          FCore->PortName()))));
    }

    const TCoreEventTarget FTarget;
    std::atomic<bool> FTargetOn{true};
    bool FArmed = true;
    bool FHungUp = false;
};

// ---------------------------------------------------------------------------
std::string OpenFailureText(TPosixOpenResult Result, const std::string& Name, const std::string& DevicePath)
{
    if (Result == porNoSuchPort)
        return Format("Invalid port number (%s)", Name);
    std::string text = Format("Can't open device %s", Name);
    if (Result != porNoPermission)
        return text;
    // Name the device itself, not the link that led to it.
    char real[PATH_MAX];
    const std::string device = realpath(DevicePath.c_str(), real) ? std::string(real) : DevicePath;
    text += ": permission denied on " + device;
    const std::string join = "sudo usermod -aG %s $USER, then log out and in again (the new group "
                             "reaches only new logins).";
    struct stat st;
    if (::stat(device.c_str(), &st) != 0)
        return text + ". Serial ports belong to the group dialout: add your user to it with " +
               Format(join.c_str(), "dialout");
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    text += " (" + UserName(st.st_uid) + ":" + GroupName(st.st_gid) + ", mode " + mode + ")";
    // A device its group may use is opened by joining that group; one that
    // no group may use needs the usual root:dialout 0660 first.
    if (st.st_gid != 0 && (st.st_mode & 060) == 060) {
        const std::string g = GroupName(st.st_gid);
        return text + ". Add your user to the group " + g + ": " + Format(join.c_str(), g);
    }
    return text +
           ". Serial ports are normally root:dialout 0660 (a udev rule can set that); then add "
           "your user to the group dialout: " +
           Format(join.c_str(), "dialout");
}

std::string TLatencySetup::Text() const
{
    std::string text = LowLatency ? "low-latency mode on" : "low-latency mode not available";
    if (TimerBefore < 0)
        return text;
    text += ", latency timer ";
    if (TimerNow != TimerBefore)
        return text + std::to_string(TimerBefore) + " -> " + std::to_string(TimerNow) + " ms";
    text += std::to_string(TimerBefore) + " ms";
    return TimerError.empty() ? text : text + " (cannot be changed: " + TimerError + ")";
}

// TComPortCore

TComPortCore::TComPortCore() : FTxEmpty(std::make_unique<TPosixEvent>())
{
    FDCB.DCBlength = sizeof(TDCB);
}

TComPortCore::~TComPortCore()
{
    if (FActive)
        CloseComPort();
    else
        DeviceClose();
}

std::string TComPortCore::PortName() const
{
    return FRequestedPath.empty() ? "COM" + std::to_string(FComNumber) : FRequestedPath;
}

bool TComPortCore::OpenComPort(int32_t n, const std::string& DevicePath)
{
    if (FActive)
        return false;
    FComNumber = n;
    FRequestedPath = DevicePath;
    FDevicePath.clear();
    FHandle = -1;
    FHungUp = false;
    FLatency = TLatencySetup{};
    if (DevicePath.empty() && n <= 0)
        throw EComPortCoreError(Format("Invalid port number (%s)", PortName()));
    FDevicePath = DevicePath.empty() ? ComPortDevicePath(n) : DevicePath;
    if (FDevicePath.empty())
        throw EComPortCoreError(Format("Invalid port number (%s)", PortName()));
    TPosixOpenResult res;
    const int fd = PosixOpenPort(FDevicePath, res);
    if (fd < 0) {
        const std::string text = OpenFailureText(res, PortName(), FDevicePath);
        FDevicePath.clear();
        throw EComPortCoreError(text);
    }
    FHandle = fd;
    try {
        FWriteThread.reset();
        FEventThread.reset();
        if (!PosixSetRawMode(fd))
            throw EComPortCoreError("Error setting timeouts");
        LowerLatency(fd);
        if (FInQueueSize < 1 || FSendBufferSize < 1)
            throw EComPortCoreError("Error initializing buffers");
        try {
            FWriteThread = std::make_unique<TComPortWriteThread>(this, FSendBufferSize);
        } catch (const std::bad_alloc&) {
            throw EComPortCoreError("Error initializing buffers");
        }
        if (!FTxEmpty->Valid() || !FWriteThread->EventsValid())
            throw EComPortCoreError(" Error setting EventMask");
        if (!PosixApplyDCB(fd, FDCB)) {
            PosixReadDCB(fd, FDCB);
            throw EComPortCoreError(SCoreDCBError);
        }
        {
            std::lock_guard<std::mutex> g(FWriteLock);
            FWriteThread->SetLine(FDCB);
        }
        {
            std::lock_guard<std::mutex> g(FPortLock);
            FErrors = 0;
            FErrorEventPending = false;
            TPosixLineCounts c{};
            FHasCounts = PosixLineCounts(fd, c);
            FLastCounts = {c.Frame, c.Overrun, c.Parity, c.Brk, c.BufOverrun, c.Rng};
        }
        // Thread priorities are best effort: raising them needs privileges a
        // service tool does not have, so both threads run at the default.
        if (!FWriteThread->Start(3000))
            throw EComPortCoreError("Error creating threads");
        FReady = true;
        FEventThread = std::make_unique<TComPortEventThread>(this);
        if (!FEventThread->Start(3000))
            throw EComPortCoreError("Error creating threads");
    } catch (...) {
        DeviceClose();
        FDevicePath.clear();
        throw;
    }
    FActive = true;
    return true;
}

void TComPortCore::CloseComPort()
{
    if (!FActive)
        return;
    DeviceClose();
    FDevicePath.clear();
    FActive = false;
}

void TComPortCore::DeviceClose()
{
    const int fd = FHandle;
    if (fd < 0)
        return;
    FReady = false;
    {
        std::lock_guard<std::mutex> g(FPortLock);
        PosixPurge(fd, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
    // The threads are stopped without holding the port lock: the event thread
    // may be about to take it for a status read, and joining it while holding
    // the lock would wait for ever.
    if (FWriteThread)
        FWriteThread->StopThread();
    if (FEventThread)
        FEventThread->StopThread();
    FWriteThread.reset();
    FEventThread.reset();
    RestoreLatency(fd);
    std::lock_guard<std::mutex> g(FPortLock);
    PosixClosePort(fd);
    FHandle = -1;
}

void TComPortCore::LowerLatency(int Fd)
{
    // Neither setting is needed for the port to work: whatever fails is
    // only reported in the setup's text.
    bool was = false;
    FLatency.LowLatency = PosixSetLowLatency(Fd, true, was);
    FLatency.LowLatencySet = FLatency.LowLatency && !was;
    FLatency.TimerPath = LatencyTimerPath(FDevicePath);
    FLatency.TimerBefore = ReadLatencyTimer(FLatency.TimerPath);
    FLatency.TimerNow = FLatency.TimerBefore;
    if (FLatency.TimerBefore < 0 || FLatency.TimerBefore == LowLatencyTimerMs)
        return;
    if (WriteLatencyTimer(FLatency.TimerPath, LowLatencyTimerMs, FLatency.TimerError))
        FLatency.TimerNow = LowLatencyTimerMs;
}

void TComPortCore::RestoreLatency(int Fd)
{
    bool was = false;
    if (FLatency.LowLatencySet)
        PosixSetLowLatency(Fd, false, was);
    // Only a timer that still has our value is put back: one that reads
    // otherwise belongs to an adapter plugged in since, or was set by hand.
    if (FLatency.TimerNow != FLatency.TimerBefore &&
        ReadLatencyTimer(FLatency.TimerPath) == FLatency.TimerNow) {
        std::string why;
        WriteLatencyTimer(FLatency.TimerPath, FLatency.TimerBefore, why);
    }
}

int32_t TComPortCore::ReadData(void* Buf, int32_t Count)
{
    if (!FReady)
        return -1;
    std::lock_guard<std::mutex> g(FPortLock);
    int err = 0;
    int32_t n = PosixRead(FHandle, Buf, Count, err);
    if (n < 0)
        n = 0;
    FReadTotal += static_cast<uint64_t>(n);
    if (n > 0) {
        // Port lock, then send-buffer lock: the lock order of the port.
        std::lock_guard<std::mutex> w(FWriteLock);
        if (FWriteThread)
            FWriteThread->DeviceAnswered();
    }
    return n;
}

bool TComPortCore::WriteData(const void* Buf, int32_t Count)
{
    if (!FReady || !FWriteThread)
        return false;
    std::lock_guard<std::mutex> g(FWriteLock);
    TCircularBuffer& buf = FWriteThread->Buffer();
    if (Count < 1 || Count > buf.Free())
        return false;
    int32_t done = 0;
    if (buf.Used() == 0 && !FWriteThread->ChangeWaiting()) {
        // Nothing queued means the write thread has nothing in flight: the
        // bytes go to the driver at once (a non-blocking copy), which spares
        // a thread hand-over on every short message. Only what the driver
        // does not take is left for the write thread.
        int err = 0;
        done = std::max(0, PosixWrite(FHandle, Buf, Count, err));
        if (done > 0)
            FWriteThread->Handed(done);
        if (done == Count) {
            FTxEmpty->Set();
            return true;
        }
    }
    buf.Write(static_cast<const uint8_t*>(Buf) + done, Count - done);
    FWriteThread->DataReady();
    return true;
}

int32_t TComPortCore::OutBufFree()
{
    if (!FReady || !FWriteThread)
        return 0;
    std::lock_guard<std::mutex> g(FWriteLock);
    return FWriteThread->Buffer().Free();
}

void TComPortCore::PollLineErrorsLocked()
{
    if (!FHasCounts)
        return;
    TPosixLineCounts now{};
    if (!PosixLineCounts(FHandle, now))
        return;
    const TPosixLineCounts last{FLastCounts.Frame, FLastCounts.Overrun,    FLastCounts.Parity,
                                FLastCounts.Brk,   FLastCounts.BufOverrun, FLastCounts.Rng};
    const uint32_t bits = ErrorCountBits(last, now);
    FLastCounts = {now.Frame, now.Overrun, now.Parity, now.Brk, now.BufOverrun, now.Rng};
    if (bits != 0) {
        FErrors |= bits;
        FErrorEventPending = true;
    }
}

void TComPortCore::GetComStat(TComStat& Stat)
{
    Stat = TComStat{0, 0, 0};
    if (!FReady)
        return;
    std::lock_guard<std::mutex> g(FPortLock);
    int32_t in = 0, out = 0;
    if (PosixInQueue(FHandle, in) && in > 0)
        Stat.cbInQue = static_cast<uint32_t>(in);
    if (PosixOutQueue(FHandle, out) && out > 0)
        Stat.cbOutQue = static_cast<uint32_t>(out);
    PollLineErrorsLocked();
}

uint32_t TComPortCore::ReadErrors()
{
    if (!FReady)
        return 0;
    std::lock_guard<std::mutex> g(FPortLock);
    PollLineErrorsLocked();
    const uint32_t e = FErrors;
    FErrors = 0;
    return e;
}

bool TComPortCore::EscapeComm(uint32_t Func)
{
    if (!FReady)
        return false;
    std::lock_guard<std::mutex> g(FWriteLock);
    if (FWriteThread)
        FWriteThread->FollowModemLine(Func);
    return PosixEscapeComm(FHandle, Func);
}

void TComPortCore::SetDCB(const TDCB& Rec)
{
    const TDCB previous = FDCB;
    FDCB = Rec;
    ++FDCBSeq;
    if (!FReady)
        return;
    {
        std::lock_guard<std::mutex> g(FWriteLock);
        if (FWriteThread && !FHungUp) {
            int32_t driverQueue = 0;
            if (!FWriteThread->LineIdle() || (PosixOutQueue(FHandle, driverQueue) && driverQueue > 0)) {
                FWriteThread->Defer(Rec, FDCBSeq);
                return;
            }
        }
        // Under the write lock, so the line and the write thread's idea of it agree.
        if (PosixApplyDCB(FHandle, Rec)) {
            if (FWriteThread)
                FWriteThread->SetLine(Rec);
            return;
        }
    }
    FDCB = previous;
    PosixReadDCB(FHandle, FDCB);
    throw EComPortCoreError(SCoreDCBError);
}

void TComPortCore::ReportRefusedSettings(uint64_t Seq, const TDCB& Line)
{
    const auto e = std::make_exception_ptr(EComPortCoreError(SCoreDCBError));
    auto* app = QCoreApplication::instance();
    if (!app) {
        ReportNow(e, FExceptionOwner);
        return;
    }
    const std::weak_ptr<char> alive = FAlive;
    QMetaObject::invokeMethod(
        app,
        [this, alive, Seq, Line, e, Owner = FExceptionOwner] {
            // A later request stands: it is applied or refused on its own.
            if (!alive.expired() && Seq == FDCBSeq) {
                FDCB = Line;
                if (FSettingsRefused)
                    FSettingsRefused(this);
            }
            ReportNow(e, Owner);
        },
        Qt::QueuedConnection);
}
