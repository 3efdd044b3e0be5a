#include "serial/ComPortCore.h"

#include "serial/AppException.h"
#include "serial/CircularBuffer.h"
#include "serial/PortMap.h"
#include "serial/PosixSerial.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>

namespace
{

std::string Format(const char* Fmt, const std::string& Arg)
{
    char buf[512];
    std::snprintf(buf, sizeof buf, Fmt, Arg.c_str());
    return buf;
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
void ReportInMainThread(std::exception_ptr E)
{
    auto* app = QCoreApplication::instance();
    auto report = [E] {
        try {
            std::rethrow_exception(E);
        } catch (...) {
            ApplicationHandleCurrentException();
        }
    };
    if (app)
        QMetaObject::invokeMethod(app, report, Qt::QueuedConnection);
    else
        report();
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
            ReportInMainThread(E);
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

    // Main thread: has the thread let go of the buffer, then empties it and
    // the driver's output queue. False (nothing discarded) when the thread
    // does not answer within 2000 ms.
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
    // Hands the buffer to the device in contiguous chunks, straight from its
    // memory: the main thread only appends into the free part.
    void WriteOut()
    {
        for (;;) {
            const uint8_t* p;
            int32_t len;
            {
                std::lock_guard<std::mutex> g(FCore->FWriteLock);
                len = FBuffer.ContiguousUsed();
                p = FBuffer.ReadPtr();
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
                    empty = FBuffer.Used() == 0;
                }
                if (empty) {
                    FCore->FTxEmpty->Set();
                    return;
                }
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

    TCircularBuffer FBuffer;
    TPosixEvent FFlushAck;
    TPosixEvent FFlushRequest;
    TPosixEvent FDataReady;
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
            throw EComPortCoreError("Error setting parameters from DCB");
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
    std::lock_guard<std::mutex> g(FPortLock);
    PosixClosePort(fd);
    FHandle = -1;
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
    if (buf.Used() == 0) {
        // Nothing queued means the write thread has nothing in flight: the
        // bytes go to the driver at once (a non-blocking copy), which spares
        // a thread hand-over on every short message. Only what the driver
        // does not take is left for the write thread.
        int err = 0;
        done = std::max(0, PosixWrite(FHandle, Buf, Count, err));
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
    return FReady && PosixEscapeComm(FHandle, Func);
}

void TComPortCore::SetDCB(const TDCB& Rec)
{
    const TDCB previous = FDCB;
    FDCB = Rec;
    if (!FReady)
        return;
    if (!PosixApplyDCB(FHandle, Rec)) {
        FDCB = previous;
        PosixReadDCB(FHandle, FDCB);
        throw EComPortCoreError("Error setting parameters from DCB");
    }
}
