#pragma once
// A simulated serial device on the master side of a pty. Each device runs its
// own thread with a poll() loop, so it answers like real hardware whatever the
// tool's event loop is doing. Every public method may be called from any
// thread. The protocols live in VeltracUnit and GpsModule; this class owns the
// line: pacing at the baud rate, the line speed the tool set, faults, hang-up
// and re-plug, and the event log.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "tools/devsim/Pty.h"

namespace devsim
{

using Clock = std::chrono::steady_clock;

// Misbehaviour on request. Shares are probabilities 0..1, drawn from generators
// seeded with Seed (one per kind, so one fault does not shift another's draws).
struct Faults {
    uint32_t Seed = 1;       // also seeds the garbage bytes of a line at the wrong rate
    double DropReplies = 0;  // answers to commands that are not sent
    double DropCommands = 0; // complete, valid commands that are ignored
    // One command ignored by name (the names are listed in docs/devices.md, e.g.
    // "version", "program", "eeprom", "identify", "Q", "R", "block"), DropNamedCount
    // times (below 0: every time).
    std::string DropNamed;
    int DropNamedCount = 1;
    double RefuseWrites = 0; // unit: EEPROM write answered 00; module: block answered status 02
    double CorruptRx = 0;    // received bytes altered before the device sees them
    double CorruptTx = 0;    // sent bytes altered on their way to the tool
    double LateReplies = 0;  // answers held back by LateMs (later answers queue behind them)
    int LateMs = 1000;
    bool Pace = false; // bytes take 10 bit times each way at the device's baud rate
    // Close the master when the device reaches a point: "name" (first time) or
    // "name:N" (N-th time); "ms:T" is T ms after the first byte from the tool.
    std::string HangUpAt;
    int ReplugAfterMs = -1; // after a hang-up, plug a new pty in after this time; below 0: never
};

// A USB serial adapter between the device and the tool, as FTDI chips behave:
// bytes from the device are held until LatencyMs after the first of a burst
// (the chip's latency timer, restarted by each packet sent), or go at once as
// soon as a USB packet's payload (PacketBytes: 64-byte full-speed packets
// less 2 status bytes) has gathered. LatencyMs 0: no adapter, bytes go at once.
struct Adapter {
    int LatencyMs = 0;
    std::size_t PacketBytes = 62;
};

// What a receiver that is busy programming answers when asked for its version.
enum class BusyAnswer {
    OldVersion, // the version it runs until the new image is in
    None,       // no answer at all
    Empty,      // an empty version text
};

// What happened on the line.
struct LineCounters {
    uint64_t BytesIn = 0;  // bytes the device took in (garbage included)
    uint64_t BytesOut = 0; // bytes handed to the tool (garbage included)
    uint64_t BadFrames = 0;
    uint64_t DroppedCommands = 0;
    uint64_t DroppedReplies = 0;
    uint64_t LateReplies = 0;
    uint64_t RefusedWrites = 0;
    uint64_t CorruptedIn = 0;
    uint64_t CorruptedOut = 0;
    // Bytes sent while the tool's port and the device ran at different rates, and
    // the garbage bytes the receiving side got in their place (none when such
    // bytes are configured to be lost).
    uint64_t SpeedMismatchIn = 0;
    uint64_t SpeedMismatchOut = 0;
    uint64_t GarbageIn = 0;
    uint64_t GarbageOut = 0;
    // With an adapter: packets sent because they were full, and because the
    // latency timer ran out.
    uint64_t AdapterFullPackets = 0;
    uint64_t AdapterTimerPackets = 0;
    int PortCloses = 0; // the tool closed its port
    int HangUps = 0;
    int Replugs = 0;
};

class SimDevice
{
  public:
    virtual ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // False when the pty could not be made; Error() says why.
    bool Ok() const;
    std::string Error() const;

    // The path the tool opens; changes after a re-plug. Empty while unplugged.
    std::string SlavePath() const;
    // Moves the device from its pty to the real serial device at Path (raw
    // 8N1 at the device's rate); the tool then opens the other end of a
    // null-modem cable. The line is real from now on: rate changes are made
    // on it once the bytes before them have left, and pacing, the adapter
    // model and the wrong-rate model are the line's own business. False
    // (and unplugged) when the device cannot be opened.
    bool UseTty(const std::string& Path, std::string* Error = nullptr);
    // Plugs the device in as COM n: Folder/comN -> the slave (Folder empty: $VELTRAC_COM_DIR).
    // The link follows re-plugs and is removed by a hang-up and by the destructor.
    bool PlugAs(int ComNumber, const std::string& Folder = {}, std::string* Error = nullptr);
    std::string ComLinkPath() const;

    void SetFaults(const Faults& F); // also re-arms HangUpAt and the named drop
    Faults GetFaults() const;
    void SetAdapter(const Adapter& A);
    Adapter GetAdapter() const;
    LineCounters Line() const;

    // Unplug now: the master is closed (the tool sees a hang-up), the link removed.
    void HangUp();
    // A new pty, the link pointed at it. False when it could not be made.
    bool Replug(std::string* Error = nullptr);
    bool Plugged() const;

    // The rate the device runs at now, and the rate the tool's port is set to.
    unsigned DeviceRate() const;
    unsigned ToolRate() const;

    // Every event line is also passed to Sink, from the device thread, outside its lock.
    // The lines logged so far are passed first, from the calling thread.
    void SetLogSink(std::function<void(const std::string&)> Sink);
    std::vector<std::string> LogLines() const;

    // Ends the device thread; the destructor calls it. A derived device's
    // destructor calls it first, so that no hook runs on a device half taken apart.
    void Stop();

  protected:
    // WrongRateGarbage: bytes crossing at a rate the receiving side is not set to
    // arrive as garbage (as a UART sees them); false: they are lost.
    SimDevice(const char* Name, unsigned Rate, bool WrongRateGarbage);
    // Derived constructors call it last, once the protocol state is built.
    void Start();

    // What the line takes from the device put on it by MoveCable.
    struct Newcomer {
        unsigned Rate = 9600;
        bool WrongRateGarbage = true;
        uint32_t Seed = 1; // its faults are drawn from this seed
    };
    // The cable moves from this device to a fresh one, the line staying as it
    // is: the pty, the COM link, the tool's open port and the rate it set, the
    // adapter, pacing and the other fault settings. On the device thread, with
    // the lock held: Depart takes its last look at the old device; the bytes
    // on their way to it and those it had not sent yet are dropped (what the
    // adapter holds goes on to the tool); the line's counters start from zero,
    // the rate is the newcomer's and the faults are armed afresh from its seed;
    // then Arrive makes the fresh device's state. Returns once the lines logged
    // meanwhile have gone to the sink; false when the device thread does not run.
    bool MoveCable(const Newcomer& N, const std::function<void()>& Depart,
                   const std::function<void()>& Arrive);

    // Hooks, called on the device thread with the state lock held.
    virtual void OnReceived(const std::string& Bytes, Clock::time_point Now) = 0;
    virtual void OnTimer(Clock::time_point Now) = 0;
    virtual Clock::time_point NextTimer() const = 0;
    // The tool closed its port, or the device was unplugged: the session is over.
    virtual void OnLineLost(bool Unplugged) = 0;

    // For the derived classes' public side (any thread but the device's): waits
    // until Holds, called with the state lock held, is true or TimeoutMs pass.
    // It is checked at once, after every pass of the device loop and at every change.
    template <class Pred> bool WaitFor(Pred Holds, int TimeoutMs) const
    {
        std::unique_lock<std::mutex> L(FMutex);
        return FChanged.wait_for(L, std::chrono::milliseconds(TimeoutMs), Holds);
    }

    // For the protocol code (device thread, lock held).
    // The moment Ms milliseconds after From, for the device's timers (Ms as the configs hold it).
    template <class T> static Clock::time_point After(Clock::time_point From, T Ms)
    {
        return From + std::chrono::milliseconds(Ms);
    }
    void SendReply(const std::string& Wire);       // an answer: subject to drop and delay faults
    void SendUnsolicited(const std::string& Wire); // reports, status, requests
    void SetRate(unsigned Rate);                   // for bytes sent and received from now on
    unsigned Rate() const { return FRate; }
    bool TxIdle() const { return FTx.empty() && FGarbageOut.empty(); }
    // When bytes last went out to the tool (whatever the line made of them).
    Clock::time_point LastTxAt() const { return FLastTxAt; }
    unsigned ToolRateLocked() const;
    bool DropCommand(std::initializer_list<const char*> Names); // draws DropCommands / DropNamed
    bool DrawRefuse();
    bool DrawShare(double Share, std::mt19937& Gen);
    // A hang-up point was reached; true when the device hangs up here (the caller stops).
    bool Point(const char* Name);
    bool HangingUp() const { return FHangUpPending; }
    void Log(const std::string& Text);
    bool SlaveOpen() const { return FPty.IsOpen() && !FSlaveClosed; }
    const std::string& SlavePathLocked() const { return FPty.SlavePath(); }

    mutable std::mutex FMutex;
    mutable std::condition_variable FChanged;
    LineCounters FLine;
    std::mt19937 FRandom; // for the device's own choices (garbage, fill bytes)

  private:
    struct TxChunk {
        std::string Data;
        std::size_t Done = 0;
        Clock::time_point NotBefore;
        unsigned Rate = 0;
    };
    // Output while the tool's port is at another rate, logged as one run.
    struct WrongRateRun {
        unsigned Device = 0, Tool = 0;
        uint64_t Bytes = 0, Garbage = 0;
    };
    struct Control {
        enum Kind { HangUp, Replug, MoveCable };
        explicit Control(Kind K) : What(K) {}
        Kind What;
        bool Done = false;
        bool Result = false;
        std::string Error;
        // MoveCable's arguments.
        const Newcomer* Next = nullptr;
        const std::function<void()>* Depart = nullptr;
        const std::function<void()>* Arrive = nullptr;
    };

    void Run();
    void Wake();
    void ReadLine(Clock::time_point Now);
    void DeliverDue(Clock::time_point Now);
    void Flush(Clock::time_point Now);
    // Hands bytes for the tool to the line: to the adapter when there is one
    // (it takes them all), else to the pty (bytes taken, or −1 with errno).
    ssize_t Emit(const char* Data, std::size_t Size, Clock::time_point Now);
    // Sends what the adapter lets go by Now; false when the pty is full.
    bool ReleaseHeld(Clock::time_point Now);
    // A real line: puts it at Rate once the bytes sent before have left; false
    // while they have not (FRateRetryAt says when to look again).
    bool ApplyLineRate(unsigned Rate, Clock::time_point Now);
    Clock::time_point NextDue(Clock::time_point Now) const;
    void DoHangUp();
    bool DoReplug(std::string* Error);
    void DoMoveCable(const Control& C);
    // Hands C to the device thread and waits for its answer; false (C.Error
    // set) when the thread does not run.
    bool Submit(Control& C);
    // Carries out the requests waiting; those served are answered by Answer
    // once the lines they logged have gone to the sink (lock not held).
    void ServeControls(std::vector<Control*>& Served);
    void Answer(std::vector<Control*>& Served);
    void CheckSlave();
    void Corrupt(std::string& Bytes, double Share, std::mt19937& Gen, uint64_t& Count);
    std::string Garbage(std::size_t Sent, unsigned SenderRate, unsigned ReceiverRate, uint64_t& Credit);
    bool FlushGarbage();
    enum class WriteResult { Wrote, Interrupted, Full, Lost };
    WriteResult Written(ssize_t W);
    void EndWrongRateRun();
    void ArmFaults();
    std::chrono::nanoseconds ByteTime(unsigned Rate) const;
    std::string Stamp() const;
    void FlushLog();

    std::string FName;
    Pty FPty;
    bool FOk = false;
    std::string FError;
    unsigned FRate;
    // The rate of a port that has just appeared, before the tool sets one.
    static constexpr unsigned NewPortRate = 9600;
    bool FWrongRateGarbage;
    std::string FComFolder;
    int FComNumber = 0;
    bool FSlaveClosed = false;
    bool FPlugged = false;
    Clock::time_point FStarted;
    Clock::time_point FFirstByte{};
    bool FSeenByte = false;
    Clock::time_point FReplugAt = Clock::time_point::max();
    bool FHangUpPending = false;

    Faults FFaults;
    std::mt19937 FGenDropReply, FGenDropCmd, FGenRefuse, FGenCorruptRx, FGenCorruptTx, FGenLate, FGenGarbage;
    uint64_t FGarbageCreditIn = 0, FGarbageCreditOut = 0; // see Garbage()
    int FNamedLeft = 0;
    bool FHangUpArmed = false;
    std::string FHangUpName;
    int FHangUpCount = 0;
    std::vector<std::pair<std::string, int>> FPointCounts;

    std::deque<TxChunk> FTx;
    Clock::time_point FTxLineFree{};
    Clock::time_point FLastTxAt{};
    std::string FGarbageOut; // garbage for the tool that the pty did not take yet
    Adapter FAdapter;
    unsigned FTtyRate = 0; // a real line's rate
    std::size_t FLastTxBytes = 0;
    Clock::time_point FRateRetryAt = Clock::time_point::max();
    std::string FHeld; // bytes the adapter holds (FHeldSince: its latency timer started)
    Clock::time_point FHeldSince{};
    WrongRateRun FRunOut;
    Clock::time_point FLastReplyAt{};
    std::deque<std::pair<Clock::time_point, char>> FRx;
    Clock::time_point FRxLineFree{};
    bool FWantWrite = false;

    std::vector<std::string> FLog;
    std::vector<std::string> FLogPending;
    std::function<void(const std::string&)> FSink;

    std::deque<Control*> FControls;
    bool FStop = false;
    int FWakeFd = -1;
    std::thread FThread;
};

// A device with a report of type R: Report() and WaitUntil() for any
// thread, from the ReportLocked() the device builds with its lock held.
template <class R> class ReportingDevice : public SimDevice
{
  public:
    R Report() const
    {
        std::lock_guard<std::mutex> L(FMutex);
        return ReportLocked();
    }
    // Waits until Pred holds for the report (checked at every change) or TimeoutMs pass.
    bool WaitUntil(const std::function<bool(const R&)>& Pred, int TimeoutMs) const
    {
        return WaitFor([&] { return Pred(ReportLocked()); }, TimeoutMs);
    }

  protected:
    using SimDevice::SimDevice;
    virtual R ReportLocked() const = 0;

    // SimDevice::MoveCable, giving the departed device's report as it left;
    // nothing when the device thread does not run.
    std::optional<R> MoveCable(const Newcomer& N, const std::function<void()>& Arrive)
    {
        R Departed;
        if (!SimDevice::MoveCable(N, [&] { Departed = ReportLocked(); }, Arrive))
            return std::nullopt;
        return Departed;
    }
};

} // namespace devsim
