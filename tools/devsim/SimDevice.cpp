#include "tools/devsim/SimDevice.h"

#include "tools/devsim/LineTermios.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace devsim
{

namespace
{

// While the tool has its port closed the master reports POLLHUP on every poll, so
// the device looks for the port's return at this pace instead of polling it.
constexpr auto ClosedProbe = std::chrono::milliseconds(50);
constexpr std::size_t MaxLogLines = 5000;

std::string Count(uint64_t N, const char* One, const char* Many)
{
    return std::to_string(N) + " " + (N == 1 ? One : Many);
}

} // namespace

SimDevice::SimDevice(const char* Name, unsigned Rate, bool WrongRateGarbage)
    : FName(Name), FRate(Rate), FWrongRateGarbage(WrongRateGarbage)
{
    FStarted = Clock::now();
    FWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::string Err;
    if (FWakeFd < 0)
        FError = "eventfd failed";
    else if (!FPty.Open(Rate, &Err))
        FError = Err;
    else {
        FOk = true;
        FPlugged = true;
    }
    ArmFaults();
}

SimDevice::~SimDevice()
{
    Stop();
    if (FWakeFd >= 0)
        ::close(FWakeFd);
}

void SimDevice::Start()
{
    if (FOk && !FThread.joinable())
        FThread = std::thread(&SimDevice::Run, this);
}

void SimDevice::Stop()
{
    {
        std::lock_guard<std::mutex> L(FMutex);
        FStop = true;
    }
    Wake();
    if (FThread.joinable())
        FThread.join();
    std::lock_guard<std::mutex> L(FMutex);
    RemoveComLink(FComFolder, FComNumber);
    FPty.Close();
    FPlugged = false;
    // Anyone waiting on a control request gets an answer.
    for (Control* C : FControls) {
        C->Done = true;
        C->Error = "device stopped";
    }
    FControls.clear();
    FChanged.notify_all();
}

bool SimDevice::Ok() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FOk;
}

std::string SimDevice::Error() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FError;
}

std::string SimDevice::SlavePath() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FPty.SlavePath();
}

bool SimDevice::UseTty(const std::string& Path, std::string* Error)
{
    std::lock_guard<std::mutex> L(FMutex);
    FPty.UseDevice(Path);
    std::string Err;
    const bool Ok = FPty.Open(FRate, &Err);
    FPlugged = Ok;
    FSlaveClosed = false;
    FTtyRate = FRate;
    FTx.clear();
    FGarbageOut.clear();
    FHeld.clear();
    FRx.clear();
    if (!Ok) {
        if (Error)
            *Error = Err;
        return false;
    }
    Log("on the serial device " + Path + " at " + std::to_string(FRate) + " bit/s");
    Wake();
    return true;
}

bool SimDevice::PlugAs(int ComNumber, const std::string& Folder, std::string* Error)
{
    std::lock_guard<std::mutex> L(FMutex);
    const std::string Dir = ComFolder(Folder);
    if (Dir.empty()) {
        if (Error)
            *Error = "no port-map folder: give one or set VELTRAC_COM_DIR";
        return false;
    }
    if (FComNumber > 0 && (FComNumber != ComNumber || FComFolder != Dir))
        RemoveComLink(FComFolder, FComNumber);
    FComFolder = Dir;
    FComNumber = ComNumber;
    if (!FPty.IsOpen())
        return true; // pointed at the next pty when it is plugged in
    if (!PointComLink(Dir, ComNumber, FPty.SlavePath(), Error))
        return false;
    Log("plugged in as COM " + std::to_string(ComNumber) + " (" + Dir + "/com" + std::to_string(ComNumber) +
        " -> " + FPty.SlavePath() + ")");
    return true;
}

std::string SimDevice::ComLinkPath() const
{
    std::lock_guard<std::mutex> L(FMutex);
    if (FComNumber < 1)
        return {};
    return FComFolder + "/com" + std::to_string(FComNumber);
}

void SimDevice::SetFaults(const Faults& F)
{
    std::lock_guard<std::mutex> L(FMutex);
    FFaults = F;
    ArmFaults();
    FChanged.notify_all();
}

Faults SimDevice::GetFaults() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FFaults;
}

void SimDevice::SetAdapter(const Adapter& A)
{
    std::lock_guard<std::mutex> L(FMutex);
    FAdapter = A;
    if (FAdapter.PacketBytes < 1)
        FAdapter.PacketBytes = 1;
    Wake();
}

Adapter SimDevice::GetAdapter() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FAdapter;
}

LineCounters SimDevice::Line() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FLine;
}

void SimDevice::ArmFaults()
{
    const uint32_t S = FFaults.Seed;
    FGenDropReply.seed(S * 7919u + 1u);
    FGenDropCmd.seed(S * 7919u + 2u);
    FGenRefuse.seed(S * 7919u + 3u);
    FGenCorruptRx.seed(S * 7919u + 4u);
    FGenCorruptTx.seed(S * 7919u + 5u);
    FGenLate.seed(S * 7919u + 6u);
    FRandom.seed(S * 7919u + 7u);
    FGenGarbage.seed(S * 7919u + 8u);
    FGarbageCreditIn = FGarbageCreditOut = 0;
    FNamedLeft = FFaults.DropNamedCount;
    FPointCounts.clear();
    FHangUpArmed = !FFaults.HangUpAt.empty();
    FHangUpName = FFaults.HangUpAt;
    FHangUpCount = 1;
    const auto Colon = FHangUpName.find(':');
    if (Colon != std::string::npos) {
        FHangUpCount = std::atoi(FHangUpName.c_str() + Colon + 1);
        FHangUpName.resize(Colon);
    }
}

bool SimDevice::Submit(Control& C)
{
    std::unique_lock<std::mutex> L(FMutex);
    if (!FThread.joinable() || FStop) {
        C.Error = "device stopped";
        return false;
    }
    FControls.push_back(&C);
    Wake();
    FChanged.wait(L, [&] { return C.Done; });
    return true;
}

void SimDevice::HangUp()
{
    Control C(Control::HangUp);
    Submit(C);
}

bool SimDevice::Replug(std::string* Error)
{
    Control C(Control::Replug);
    Submit(C);
    if (!C.Result && Error)
        *Error = C.Error;
    return C.Result;
}

bool SimDevice::MoveCable(const Newcomer& N, const std::function<void()>& Depart,
                          const std::function<void()>& Arrive)
{
    Control C(Control::MoveCable);
    C.Next = &N;
    C.Depart = &Depart;
    C.Arrive = &Arrive;
    Submit(C);
    return C.Result;
}

bool SimDevice::Plugged() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FPlugged;
}

unsigned SimDevice::DeviceRate() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FRate;
}

unsigned SimDevice::ToolRate() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return ToolRateLocked();
}

unsigned SimDevice::ToolRateLocked() const
{
    // On a real line the tool's rate is not known here: the line itself
    // garbles what crosses at a wrong rate.
    return FPty.IsOpen() && !FPty.Real() ? LineRate(FPty.Fd()) : 0;
}

void SimDevice::SetLogSink(std::function<void(const std::string&)> Sink)
{
    std::vector<std::string> Replay;
    {
        std::lock_guard<std::mutex> L(FMutex);
        FSink = Sink;
        FLogPending.clear();
        if (Sink)
            Replay = FLog;
    }
    for (const auto& Line : Replay)
        Sink(Line);
}

std::vector<std::string> SimDevice::LogLines() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FLog;
}

void SimDevice::Wake()
{
    if (FWakeFd >= 0) {
        const uint64_t One = 1;
        [[maybe_unused]] auto R = ::write(FWakeFd, &One, sizeof One);
    }
}

std::string SimDevice::Stamp() const
{
    const double S = std::chrono::duration<double>(Clock::now() - FStarted).count();
    char B[32];
    std::snprintf(B, sizeof B, "%9.3f", S);
    return B;
}

void SimDevice::Log(const std::string& Text)
{
    std::string Line = Stamp() + " " + FName + ": " + Text;
    if (FLog.size() >= MaxLogLines)
        FLog.erase(FLog.begin(), FLog.begin() + MaxLogLines / 5);
    FLog.push_back(Line);
    FLogPending.push_back(std::move(Line));
}

bool SimDevice::DrawShare(double Share, std::mt19937& Gen)
{
    if (Share <= 0)
        return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(Gen) < Share;
}

bool SimDevice::DropCommand(std::initializer_list<const char*> Names)
{
    if (!FFaults.DropNamed.empty() && FNamedLeft != 0) {
        for (const char* N : Names) {
            if (FFaults.DropNamed == N) {
                if (FNamedLeft > 0)
                    --FNamedLeft;
                ++FLine.DroppedCommands;
                Log(std::string("ignores the command \"") + N + "\" (named drop)");
                return true;
            }
        }
    }
    if (DrawShare(FFaults.DropCommands, FGenDropCmd)) {
        ++FLine.DroppedCommands;
        Log(std::string("ignores the command \"") + (Names.size() ? *Names.begin() : "?") + "\" (dropped)");
        return true;
    }
    return false;
}

bool SimDevice::DrawRefuse()
{
    if (DrawShare(FFaults.RefuseWrites, FGenRefuse)) {
        ++FLine.RefusedWrites;
        return true;
    }
    return false;
}

bool SimDevice::Point(const char* Name)
{
    auto It = std::find_if(FPointCounts.begin(), FPointCounts.end(),
                           [&](const auto& P) { return P.first == Name; });
    if (It == FPointCounts.end()) {
        FPointCounts.emplace_back(Name, 0);
        It = FPointCounts.end() - 1;
    }
    ++It->second;
    if (FHangUpArmed && FHangUpName == Name && It->second == FHangUpCount) {
        FHangUpArmed = false;
        FHangUpPending = true;
        Log("hang-up point " + FFaults.HangUpAt + " reached");
    }
    return FHangUpPending;
}

void SimDevice::Corrupt(std::string& Bytes, double Share, std::mt19937& Gen, uint64_t& Count)
{
    if (Share <= 0)
        return;
    std::uniform_real_distribution<double> U(0.0, 1.0);
    std::uniform_int_distribution<int> Flip(1, 255);
    for (char& C : Bytes) {
        if (U(Gen) < Share) {
            C = static_cast<char>(static_cast<uint8_t>(C) ^ static_cast<uint8_t>(Flip(Gen)));
            ++Count;
        }
    }
}

std::string SimDevice::Garbage(std::size_t Sent, unsigned SenderRate, unsigned ReceiverRate, uint64_t& Credit)
{
    // A UART at the higher rate takes each long bit of the slower sender for
    // several of its own and sees about one false byte per byte sent; one at the
    // lower rate spans several of the sender's bytes with each of its own and
    // sees about one per rate ratio. Credit carries the remainder over, so the
    // count does not depend on how the bytes were cut into reads.
    std::size_t N = Sent;
    if (ReceiverRate < SenderRate && SenderRate > 0) {
        Credit += static_cast<uint64_t>(Sent) * ReceiverRate;
        N = static_cast<std::size_t>(Credit / SenderRate);
        Credit %= SenderRate;
    }
    std::string G(N, '\0');
    std::uniform_int_distribution<int> Byte(0, 255);
    for (char& C : G)
        C = static_cast<char>(Byte(FGenGarbage));
    return G;
}

std::chrono::nanoseconds SimDevice::ByteTime(unsigned Rate) const
{
    // Start bit, eight data bits, stop bit.
    return std::chrono::nanoseconds(10'000'000'000ull / (Rate ? Rate : 9600));
}

void SimDevice::SetRate(unsigned Rate)
{
    if (Rate != FRate) {
        EndWrongRateRun();
        Log("line speed " + std::to_string(FRate) + " -> " + std::to_string(Rate));
    }
    FRate = Rate;
}

void SimDevice::SendReply(const std::string& Wire)
{
    if (DrawShare(FFaults.DropReplies, FGenDropReply)) {
        ++FLine.DroppedReplies;
        Log("answer dropped (fault)");
        return;
    }
    Clock::time_point At = Clock::now();
    if (DrawShare(FFaults.LateReplies, FGenLate)) {
        ++FLine.LateReplies;
        At += std::chrono::milliseconds(FFaults.LateMs);
        Log("answer held back " + std::to_string(FFaults.LateMs) + " ms (fault)");
    }
    if (!SlaveOpen())
        return;
    TxChunk C{Wire, 0, At, FRate};
    Corrupt(C.Data, FFaults.CorruptTx, FGenCorruptTx, FLine.CorruptedOut);
    FTx.push_back(std::move(C));
}

void SimDevice::SendUnsolicited(const std::string& Wire)
{
    // Nobody listens while the port is closed; a real line would lose these too.
    if (!SlaveOpen())
        return;
    TxChunk C{Wire, 0, Clock::now(), FRate};
    Corrupt(C.Data, FFaults.CorruptTx, FGenCorruptTx, FLine.CorruptedOut);
    FTx.push_back(std::move(C));
}

void SimDevice::ReadLine(Clock::time_point Now)
{
    if (!FPty.IsOpen() || FSlaveClosed)
        return;
    char Buf[4096];
    for (;;) {
        const ssize_t N = ::read(FPty.Fd(), Buf, sizeof Buf);
        if (N > 0) {
            std::string Bytes(Buf, static_cast<std::size_t>(N));
            if (!FSeenByte) {
                FSeenByte = true;
                FFirstByte = Now;
            }
            // The rate the tool's port has now stands for the rate these bytes went out at.
            const unsigned Tool = ToolRateLocked();
            const std::size_t Sent = Bytes.size();
            unsigned SentAt = FRate;
            if (Tool != 0 && Tool != FRate) {
                FLine.SpeedMismatchIn += Sent;
                const std::string Rates =
                    " (tool at " + std::to_string(Tool) + " bit/s, device at " + std::to_string(FRate) + ")";
                if (!FWrongRateGarbage) {
                    Log(Count(Sent, "byte", "bytes") + " lost" + Rates);
                    continue;
                }
                Bytes = Garbage(Sent, Tool, FRate, FGarbageCreditIn);
                FLine.GarbageIn += Bytes.size();
                SentAt = Tool;
                Log(Count(Sent, "byte", "bytes") + " at the wrong rate" + Rates + " seen as " +
                    Count(Bytes.size(), "garbage byte", "garbage bytes"));
            } else {
                Corrupt(Bytes, FFaults.CorruptRx, FGenCorruptRx, FLine.CorruptedIn);
            }
            if (FFaults.Pace) {
                // The sender's bytes occupy the line at the sender's rate; what the
                // device makes of them is spread over that time.
                const Clock::time_point Start = std::max(FRxLineFree, Now);
                const auto Span = ByteTime(SentAt) * static_cast<long>(Sent);
                const long K = static_cast<long>(Bytes.size());
                for (long i = 0; i < K; ++i)
                    FRx.emplace_back(Start + Span * (i + 1) / K, Bytes[static_cast<std::size_t>(i)]);
                FRxLineFree = Start + Span;
            } else {
                for (char C : Bytes)
                    FRx.emplace_back(Now, C);
            }
            continue;
        }
        if (N < 0 && errno == EINTR)
            continue;
        if (N < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // EIO: the tool closed the slave.
        FSlaveClosed = true;
        ++FLine.PortCloses;
        EndWrongRateRun();
        FTx.clear();
        FGarbageOut.clear();
        FHeld.clear();
        FRx.clear();
        FWantWrite = false;
        Log(FPty.Real() ? "the serial device failed (unplugged?)" : "the tool closed the port");
        OnLineLost(false);
        return;
    }
}

void SimDevice::DeliverDue(Clock::time_point Now)
{
    std::string Due;
    while (!FRx.empty() && FRx.front().first <= Now) {
        Due += FRx.front().second;
        FRx.pop_front();
    }
    if (Due.empty())
        return;
    FLine.BytesIn += Due.size();
    OnReceived(Due, Now);
}

// What a write of pending bytes to the pty came to. A full pty asks for a
// write-ready wake-up; a failed write loses the bytes, as a dead line would.
SimDevice::WriteResult SimDevice::Written(ssize_t W)
{
    if (W > 0)
        return WriteResult::Wrote;
    if (W < 0 && errno == EINTR)
        return WriteResult::Interrupted;
    if (W < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        FWantWrite = true;
        return WriteResult::Full;
    }
    return WriteResult::Lost;
}

bool SimDevice::FlushGarbage()
{
    while (!FGarbageOut.empty()) {
        const ssize_t W = Emit(FGarbageOut.data(), FGarbageOut.size(), Clock::now());
        const WriteResult R = Written(W);
        if (R == WriteResult::Interrupted)
            continue;
        if (R != WriteResult::Wrote) {
            if (R == WriteResult::Lost)
                FGarbageOut.clear();
            return R == WriteResult::Lost;
        }
        FLine.BytesOut += static_cast<uint64_t>(W);
        FLastTxAt = Clock::now();
        FGarbageOut.erase(0, static_cast<std::size_t>(W));
    }
    return true;
}

void SimDevice::EndWrongRateRun()
{
    if (FRunOut.Bytes == 0)
        return;
    const std::string Rates = " (device at " + std::to_string(FRunOut.Device) + " bit/s, tool at " +
                              std::to_string(FRunOut.Tool) + ")";
    Log(Count(FRunOut.Bytes, "byte", "bytes") + " sent at the wrong rate" + Rates +
        (FWrongRateGarbage ? " reached the tool as " + Count(FRunOut.Garbage, "garbage byte", "garbage bytes")
                           : " were lost"));
    FRunOut = {};
}

void SimDevice::Flush(Clock::time_point Now)
{
    if (!SlaveOpen()) {
        FTx.clear();
        FGarbageOut.clear();
        FHeld.clear();
        return;
    }
    if (FWantWrite || !ReleaseHeld(Now) || !FlushGarbage())
        return;
    while (!FTx.empty() && !FWantWrite) {
        TxChunk& C = FTx.front();
        if (C.NotBefore > Now)
            return;
        if (FPty.Real() && !ApplyLineRate(C.Rate, Now))
            return;
        std::size_t N = C.Data.size() - C.Done;
        Clock::time_point Start = Now;
        std::chrono::nanoseconds Bt{0};
        if (FFaults.Pace) {
            // A byte reaches the tool once its stop bit has left the line.
            Bt = ByteTime(C.Rate);
            Start = std::max(FTxLineFree, C.NotBefore);
            if (Now < Start + Bt)
                return;
            N = std::min<std::size_t>(N, static_cast<std::size_t>((Now - Start) / Bt));
        }
        std::size_t K = 0;
        const unsigned Tool = ToolRateLocked();
        if (Tool != 0 && Tool != C.Rate) {
            FLine.SpeedMismatchOut += N;
            FLastTxAt = Now;
            if (FRunOut.Bytes > 0 && (FRunOut.Device != C.Rate || FRunOut.Tool != Tool))
                EndWrongRateRun();
            if (FRunOut.Bytes == 0) {
                FRunOut.Device = C.Rate;
                FRunOut.Tool = Tool;
                Log("sends at " + std::to_string(C.Rate) + " bit/s to a tool at " + std::to_string(Tool) +
                    (FWrongRateGarbage ? ": the tool gets garbage" : ": the bytes are lost"));
            }
            FRunOut.Bytes += N;
            if (FWrongRateGarbage) {
                const std::string G = Garbage(N, C.Rate, Tool, FGarbageCreditOut);
                FLine.GarbageOut += G.size();
                FRunOut.Garbage += G.size();
                FGarbageOut += G;
            }
            K = N;
        } else {
            EndWrongRateRun();
            const ssize_t W = Emit(C.Data.data() + C.Done, N, Now);
            if (W < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    FWantWrite = true;
                    return;
                }
                FTx.clear();
                return;
            }
            K = static_cast<std::size_t>(W);
            FLine.BytesOut += K;
            FLastTxAt = Now;
            FLastTxBytes = K;
        }
        C.Done += K;
        FTxLineFree = FFaults.Pace ? Start + Bt * static_cast<long>(K) : Now;
        if (K < N) {
            FWantWrite = true;
            return;
        }
        if (C.Done >= C.Data.size())
            FTx.pop_front();
        else if (!FFaults.Pace)
            return;
        if (!FlushGarbage())
            return;
    }
    if (FPty.Real() && FTx.empty())
        ApplyLineRate(FRate, Now);
}

bool SimDevice::ApplyLineRate(unsigned Rate, Clock::time_point Now)
{
    if (Rate == FTtyRate) {
        FRateRetryAt = Clock::time_point::max();
        return true;
    }
    // The driver's queue first, then the wire time of the last write (an
    // adapter reports bytes gone once its chip has them) and a margin.
    int Queued = 0;
    const Clock::time_point Gone =
        FLastTxAt + ByteTime(FTtyRate) * static_cast<long>(FLastTxBytes) + std::chrono::milliseconds(20);
    if ((::ioctl(FPty.Fd(), TIOCOUTQ, &Queued) == 0 && Queued > 0) || Now < Gone) {
        FRateRetryAt = std::max(Gone, Now + std::chrono::milliseconds(2));
        return false;
    }
    FRateRetryAt = Clock::time_point::max();
    // A refused rate is not asked for again with every byte.
    Log(SetRawLine(FPty.Fd(), Rate) ? "serial device at " + std::to_string(Rate) + " bit/s"
                                    : "the serial device refused " + std::to_string(Rate) + " bit/s");
    FTtyRate = Rate;
    return true;
}

ssize_t SimDevice::Emit(const char* Data, std::size_t Size, Clock::time_point Now)
{
    if (FAdapter.LatencyMs <= 0 && FHeld.empty())
        return ::write(FPty.Fd(), Data, Size);
    if (FHeld.empty())
        FHeldSince = Now;
    FHeld.append(Data, Size);
    ReleaseHeld(Now);
    return static_cast<ssize_t>(Size);
}

bool SimDevice::ReleaseHeld(Clock::time_point Now)
{
    const auto Latency = std::chrono::milliseconds(std::max(0, FAdapter.LatencyMs));
    while (!FHeld.empty()) {
        const bool Full = FHeld.size() >= FAdapter.PacketBytes;
        if (!Full && Now < FHeldSince + Latency)
            return true;
        const std::size_t N = std::min(FHeld.size(), FAdapter.PacketBytes);
        const ssize_t W = ::write(FPty.Fd(), FHeld.data(), N);
        const WriteResult R = Written(W);
        if (R == WriteResult::Interrupted)
            continue;
        if (R != WriteResult::Wrote) {
            if (R == WriteResult::Lost)
                FHeld.clear();
            return R == WriteResult::Lost;
        }
        FHeld.erase(0, static_cast<std::size_t>(W));
        if (static_cast<std::size_t>(W) < N) {
            // The rest of the packet goes as soon as the pty has room.
            FWantWrite = true;
            return false;
        }
        ++(Full ? FLine.AdapterFullPackets : FLine.AdapterTimerPackets);
        // The chip's timer starts again with each packet it sends.
        FHeldSince = Now;
    }
    return true;
}

Clock::time_point SimDevice::NextDue(Clock::time_point Now) const
{
    // Paced bytes are handed over in batches of about a millisecond rather than one
    // wake-up per byte; the last byte of a burst still goes at its own time, and no
    // byte ever goes early.
    const auto Batch = std::chrono::milliseconds(1);
    Clock::time_point T = Clock::time_point::max();
    if (!FRx.empty())
        T = std::min(FRx.back().first, std::max(FRx.front().first, Now + Batch));
    if (!FTx.empty() && !FWantWrite && SlaveOpen()) {
        const TxChunk& C = FTx.front();
        Clock::time_point Tx = C.NotBefore;
        if (FFaults.Pace) {
            const auto Bt = ByteTime(C.Rate);
            const Clock::time_point First = std::max(FTxLineFree, C.NotBefore) + Bt;
            const Clock::time_point Last = First + Bt * static_cast<long>(C.Data.size() - C.Done - 1);
            Tx = std::min(Last, std::max(First, Now + Batch));
        }
        T = std::min(T, Tx);
    }
    if (FPty.Real() && !FWantWrite && SlaveOpen())
        T = std::min(T, FRateRetryAt);
    if (!FHeld.empty() && !FWantWrite && SlaveOpen())
        T = std::min(T, FHeldSince + std::chrono::milliseconds(FAdapter.LatencyMs));
    return T;
}

void SimDevice::DoHangUp()
{
    FHangUpPending = false;
    if (!FPty.IsOpen())
        return;
    FPty.Close();
    FPlugged = false;
    FSlaveClosed = false;
    FWantWrite = false;
    RemoveComLink(FComFolder, FComNumber);
    EndWrongRateRun();
    FTx.clear();
    FGarbageOut.clear();
    FHeld.clear();
    FRx.clear();
    ++FLine.HangUps;
    Log("hung up: master closed" + std::string(FComNumber > 0 ? ", link removed" : ""));
    OnLineLost(true);
    if (FFaults.ReplugAfterMs >= 0)
        FReplugAt = Clock::now() + std::chrono::milliseconds(FFaults.ReplugAfterMs);
}

bool SimDevice::DoReplug(std::string* Error)
{
    if (FPty.IsOpen()) {
        FReplugAt = Clock::time_point::max();
        const int Keep = FFaults.ReplugAfterMs;
        FFaults.ReplugAfterMs = -1;
        DoHangUp();
        FFaults.ReplugAfterMs = Keep;
    }
    FReplugAt = Clock::time_point::max();
    std::string Err;
    // A port that appears starts at the driver's 9600 until the tool sets its
    // rate: a device still at another rate (a unit keeps its session's rate
    // until its link time-out) reaches it as junk, never as frames the tool
    // would find waiting when it opens the port.
    if (!FPty.Open(NewPortRate, &Err)) {
        Log("re-plug failed: " + Err);
        if (Error)
            *Error = Err;
        return false;
    }
    FPlugged = true;
    FSlaveClosed = false;
    FTtyRate = FRate;
    FTxLineFree = FRxLineFree = Clock::time_point{};
    ++FLine.Replugs;
    if (FComNumber > 0 && !PointComLink(FComFolder, FComNumber, FPty.SlavePath(), &Err))
        Log("re-plug: cannot point the link: " + Err);
    Log("plugged in again: " + FPty.SlavePath());
    return true;
}

void SimDevice::DoMoveCable(const Control& C)
{
    EndWrongRateRun();
    (*C.Depart)();
    FRx.clear();
    FTx.clear();
    FGarbageOut.clear();
    // Bytes the tool wrote that the old device had not read yet go with it.
    if (FPty.IsOpen())
        ::tcflush(FPty.Fd(), TCIFLUSH);
    // The dropped bytes no longer hold the wire.
    FRxLineFree = FTxLineFree = Clock::time_point{};
    FLine = {};
    FRate = C.Next->Rate;
    FWrongRateGarbage = C.Next->WrongRateGarbage;
    FFaults.Seed = C.Next->Seed;
    ArmFaults();
    FSeenByte = false;
    (*C.Arrive)();
}

void SimDevice::ServeControls(std::vector<Control*>& Served)
{
    while (!FControls.empty()) {
        Control* C = FControls.front();
        FControls.pop_front();
        switch (C->What) {
        case Control::HangUp:
            FHangUpPending = true;
            DoHangUp();
            C->Result = true;
            break;
        case Control::Replug:
            C->Result = DoReplug(&C->Error);
            break;
        case Control::MoveCable:
            DoMoveCable(*C);
            C->Result = true;
            break;
        }
        Served.push_back(C);
    }
}

void SimDevice::Answer(std::vector<Control*>& Served)
{
    if (Served.empty())
        return;
    std::lock_guard<std::mutex> L(FMutex);
    for (Control* C : Served)
        C->Done = true;
    Served.clear();
    FChanged.notify_all();
}

void SimDevice::CheckSlave()
{
    if (!FSlaveClosed || !FPty.IsOpen())
        return;
    pollfd P{FPty.Fd(), POLLIN, 0};
    if (::poll(&P, 1, 0) >= 0 && !(P.revents & POLLHUP)) {
        FSlaveClosed = false;
        Log("the tool opened the port");
    }
}

void SimDevice::Run()
{
    std::unique_lock<std::mutex> L(FMutex);
    std::vector<std::string> Lines;
    std::vector<Control*> Served;
    while (!FStop) {
        const Clock::time_point Now = Clock::now();
        ServeControls(Served);
        if (!FPty.IsOpen() && FReplugAt <= Now)
            DoReplug(nullptr);
        CheckSlave();
        if (FHangUpArmed && FHangUpName == "ms" && FSeenByte &&
            Now >= FFirstByte + std::chrono::milliseconds(FHangUpCount)) {
            FHangUpArmed = false;
            FHangUpPending = true;
            Log("hang-up point " + FFaults.HangUpAt + " reached");
        }
        if (!FHangUpPending)
            DeliverDue(Now);
        if (!FHangUpPending)
            OnTimer(Now);
        if (!FHangUpPending)
            Flush(Now);
        if (FHangUpPending)
            DoHangUp();
        FChanged.notify_all();

        Clock::time_point Deadline = std::min(NextTimer(), NextDue(Now));
        Deadline = std::min(Deadline, FReplugAt);
        if (FSlaveClosed)
            Deadline = std::min(Deadline, Now + ClosedProbe);
        if (FHangUpArmed && FHangUpName == "ms" && FSeenByte)
            Deadline = std::min(Deadline, FFirstByte + std::chrono::milliseconds(FHangUpCount));

        pollfd Fds[2] = {{FWakeFd, POLLIN, 0}, {-1, 0, 0}};
        nfds_t N = 1;
        if (FPty.IsOpen() && !FSlaveClosed) {
            Fds[1] = {FPty.Fd(), static_cast<short>(POLLIN | (FWantWrite ? POLLOUT : 0)), 0};
            N = 2;
        }
        Lines.clear();
        Lines.swap(FLogPending);
        const auto Sink = FSink;
        L.unlock();
        if (Sink)
            for (const auto& Line : Lines)
                Sink(Line);
        Answer(Served);

        timespec Ts{};
        timespec* Tp = nullptr;
        if (Deadline != Clock::time_point::max()) {
            auto Left = Deadline - Clock::now();
            if (Left < Clock::duration::zero())
                Left = Clock::duration::zero();
            const auto Ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Left).count();
            Ts.tv_sec = static_cast<time_t>(Ns / 1'000'000'000);
            Ts.tv_nsec = static_cast<long>(Ns % 1'000'000'000);
            Tp = &Ts;
        }
        const int R = ::ppoll(Fds, N, Tp, nullptr);
        L.lock();
        if (R <= 0)
            continue;
        if (Fds[0].revents & POLLIN) {
            uint64_t V;
            [[maybe_unused]] auto Rd = ::read(FWakeFd, &V, sizeof V);
        }
        if (N == 2 && Fds[1].revents) {
            if (Fds[1].revents & POLLOUT)
                FWantWrite = false;
            if (Fds[1].revents & (POLLIN | POLLHUP | POLLERR))
                ReadLine(Clock::now());
        }
    }
    Lines.clear();
    Lines.swap(FLogPending);
    const auto Sink = FSink;
    L.unlock();
    if (Sink)
        for (const auto& Line : Lines)
            Sink(Line);
}

} // namespace devsim
