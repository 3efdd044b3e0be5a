#include "tools/devsim/GpsModule.h"

#include "tools/devsim/ReceiverImage.h"

#include <algorithm>
#include <cstdio>

namespace devsim
{

namespace
{

constexpr std::size_t ChunkSize = 2048;

uint8_t Sum8(const std::string& S, std::size_t From = 0)
{
    uint8_t Sum = 0;
    for (std::size_t i = From; i < S.size(); ++i)
        Sum = static_cast<uint8_t>(Sum + static_cast<uint8_t>(S[i]));
    return Sum;
}

std::string Hex2(uint8_t B)
{
    char T[4];
    std::snprintf(T, sizeof T, "%02X", B);
    return T;
}

} // namespace

std::string ModuleIdText(uint32_t Id)
{
    char T[12];
    std::snprintf(T, sizeof T, "%08X", static_cast<unsigned>(Id));
    return T;
}

std::string GpsModule::Escape(const std::string& Content)
{
    std::string W = "<";
    for (char C : Content) {
        const auto B = static_cast<uint8_t>(C);
        if (B == 0x10)
            W += "\x10\x10";
        else if (B == 0x3C)
            W += "\x10\x01";
        else if (B == 0x3E)
            W += "\x10\x02";
        else
            W += C;
    }
    W += '>';
    return W;
}

std::string GpsModule::AnswerFrame(const std::string& Payload)
{
    // The answer's checksum leaves out the leading FF.
    return Escape("\xFF" + Payload + static_cast<char>(Sum8(Payload)));
}

std::string GpsModule::StatusFrame(const std::string& Payload)
{
    std::string C = std::string("\x00\x2C", 2) + Payload;
    C += static_cast<char>(Sum8(C));
    return Escape(C);
}

std::string GpsModule::CommandFrame(uint8_t Cmd, const std::string& Payload)
{
    std::string C = std::string("\x00\x2C", 2) + static_cast<char>(Cmd) + Payload;
    C += static_cast<char>(Sum8(C));
    return Escape(C);
}

ModuleState::ModuleState(const ModuleConfig& Config)
    : FConfig(Config), FMajor(Config.VersionMajor), FMinor(Config.VersionMinor),
      FReceiverVersion(Config.ReceiverVersion), FReceiverReadable(Config.ReceiverReadable)
{
}

GpsModule::GpsModule(const ModuleConfig& Config)
    : ReportingDevice("module", Config.BaudRate, Config.WrongRateGarbage), ModuleState(Config)
{
    Log("External GPS module " + ModuleIdText(FConfig.ModuleId) + " \"" + FConfig.Name + "\", controller " +
        ControllerText() + ", receiver \"" + FReceiverVersion + "\" on " + SlavePathLocked());
    PowerOn(Clock::now());
    Start();
}

GpsModule::~GpsModule()
{
    Stop();
}

void GpsModule::PowerOn(Clock::time_point Now)
{
    FPuller.Send = [this](const std::string& R) { SendUnsolicited(R); };
    FPuller.Log = [this](const std::string& T) { Log(T); };
    if (FConfig.StartInLoader)
        StartLoader(Now, true);
}

std::optional<ModuleReport> GpsModule::Exchange(const ModuleConfig& Next, uint32_t Seed)
{
    return MoveCable({Next.BaudRate, Next.WrongRateGarbage, Seed}, [&] {
        static_cast<ModuleState&>(*this) = ModuleState(Next);
        Log("cable moved to the next device: module " + ModuleIdText(FConfig.ModuleId));
        PowerOn(Clock::now());
    });
}

ModuleConfig GpsModule::Config() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FConfig;
}

std::string GpsModule::ControllerText() const
{
    char B[16];
    std::snprintf(B, sizeof B, "%u.%02u", FMajor, FMinor);
    return B;
}

ModuleReport GpsModule::ReportLocked() const
{
    ModuleReport R = FCount;
    R.Line = FLine;
    R.Rate = Rate();
    R.ControllerVersion = ControllerText();
    R.InLoader = FState == Loader;
    R.Preparing = FState == Preparing;
    R.Receiving = FState == Receiving;
    R.Programming = FProgramming;
    R.ReceiverVersion = FReceiverVersion;
    R.ReceiverReadable = FReceiverReadable;
    R.ReceiverImageSize = FReceiverImage.size();
    return R;
}

std::string GpsModule::ReceiverImage() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FReceiverImage;
}

PulledFirmware GpsModule::Firmware() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FFirmware;
}

void GpsModule::SetReceiverVersion(const std::string& Version, bool Readable)
{
    std::lock_guard<std::mutex> L(FMutex);
    FReceiverVersion = Version;
    FReceiverReadable = Readable;
    FChanged.notify_all();
}

// ---- Receiving ----

void GpsModule::OnReceived(const std::string& Bytes, Clock::time_point Now)
{
    if (FState == Loader) {
        FPuller.OnBytes(Bytes, Now);
        if (FPuller.Finished())
            FinishLoader(Now);
        return;
    }
    if (FState == Restarting)
        return;
    for (char C : Bytes) {
        if (HangingUp())
            return;
        RxByte(static_cast<uint8_t>(C), Now);
    }
}

void GpsModule::RxByte(uint8_t B, Clock::time_point Now)
{
    if (B == 0x3C) {
        if (FInFrame)
            ++FLine.BadFrames;
        FInFrame = true;
        FEscape = false;
        FFrame.clear();
        return;
    }
    if (!FInFrame)
        return;
    if (B == 0x3E) {
        FInFrame = false;
        HandleFrame(FFrame, Now);
        return;
    }
    if (FEscape) {
        FEscape = false;
        if (B == 0x01)
            FFrame += '\x3C';
        else if (B == 0x02)
            FFrame += '\x3E';
        else if (B == 0x10)
            FFrame += '\x10';
        else {
            ++FLine.BadFrames;
            FInFrame = false;
        }
        return;
    }
    if (B == 0x10) {
        FEscape = true;
        return;
    }
    if (FFrame.size() < 8192)
        FFrame += static_cast<char>(B);
    else {
        ++FLine.BadFrames;
        FInFrame = false;
    }
}

void GpsModule::HandleFrame(const std::string& Content, Clock::time_point Now)
{
    if (Content == "\xFF\xFF\xFF") {
        ++FCount.RawAcks;
        if (FAwaitingAck)
            LeaveFastRate("the last status was acknowledged");
        return;
    }
    if (Content.size() < 4 ||
        static_cast<uint8_t>(Content.back()) != Sum8(Content.substr(0, Content.size() - 1))) {
        ++FLine.BadFrames;
        Log("frame with a bad checksum dropped");
        return;
    }
    if (Content[0] != '\x00' || Content[1] != '\x2C') {
        Log("frame for another address ignored");
        return;
    }
    HandleCommand(static_cast<uint8_t>(Content[2]), Content.substr(3, Content.size() - 4), Now);
}

void GpsModule::Question(Clock::time_point& Last, Clock::time_point Now)
{
    if (Last != Clock::time_point{} && Now - Last < std::chrono::milliseconds(2500))
        ++FCount.QuestionRepeats;
    Last = Now;
}

void GpsModule::HandleCommand(uint8_t Cmd, const std::string& Payload, Clock::time_point Now)
{
    const char Kind = Cmd == 0xFA && !Payload.empty() ? Payload[0] : 0;
    const char* Name = Cmd == 0x01 ? "identify" : Cmd == 0x7F ? "controller" : "receiver";
    const std::string Sub(1, Kind ? Kind : '?');
    if (Kind == 'S' || Kind == 'T') {
        if (Point("block"))
            return;
        if (DropCommand({"block", Sub.c_str()}))
            return;
    } else if (DropCommand({Name, Sub.c_str()})) {
        return;
    }

    if (Cmd == 0x01) {
        ++FCount.Identifies;
        Question(FLastIdentify, Now);
        if (Point("identify"))
            return;
        if (FState != Idle)
            return;
        std::string P;
        for (int Shift = 24; Shift >= 0; Shift -= 8)
            P += static_cast<char>((FConfig.ModuleId >> Shift) & 0xFF);
        P += static_cast<char>(FMajor);
        P += static_cast<char>(FMinor);
        P += FConfig.Name;
        SendReply(AnswerFrame(P));
        return;
    }
    if (Cmd == 0x7F) {
        if (FState != Idle || FMajor * 100 + FMinor >= 200) {
            Log("controller update asked for, not needed: ignored");
            return;
        }
        if (Point("controller"))
            return;
        Log("controller restarts into its loader");
        FLoaderAt = After(Now, 100);
        return;
    }
    if (Cmd != 0xFA) {
        Log("unknown command " + Hex2(Cmd) + " ignored");
        return;
    }
    switch (Kind) {
    case 'Q': {
        ++FCount.VersionQuestions;
        Question(FLastQ, Now);
        if (Point("Q"))
            return;
        if (FState != Idle)
            return;
        const std::string Version = FReceiverReadable ? FReceiverVersion : std::string();
        if (!FProgramming) {
            SendReply(AnswerFrame(Version));
            return;
        }
        ++FCount.BusyQuestions;
        switch (FConfig.AnswerWhileProgramming) {
        case BusyAnswer::OldVersion:
            SendReply(AnswerFrame(Version));
            break;
        case BusyAnswer::Empty:
            SendReply(AnswerFrame(std::string()));
            break;
        case BusyAnswer::None:
            Log("\"Q\" while programming: no answer");
            break;
        }
        return;
    }
    case 'R': {
        ++FCount.ImageStarts;
        if (Point("R"))
            return;
        if (FState != Idle || FProgramming || Payload.size() < 3) {
            Log("image start ignored now");
            return;
        }
        FPages = (static_cast<uint8_t>(Payload[1]) << 8) | static_cast<uint8_t>(Payload[2]);
        if (FPages == 0 || static_cast<uint64_t>(FPages) * 256 > FConfig.MaxImageSize) {
            Log("image of " + std::to_string(FPages) + " pages refused");
            SendReply(StatusFrame("R\x02"));
            return;
        }
        SendReply(AnswerFrame("R"));
        ++FCount.Transfers;
        FImage.clear();
        FNextIndex = 0;
        FDots = 0;
        FState = Preparing;
        SetRate(FConfig.FastBaudRate);
        FDotNext = After(Now, FConfig.DotIntervalMs);
        FSwitchDeadline = After(Now, FConfig.ToolSwitchTimeoutMs);
        Log("receiver prepares for " + std::to_string(FPages) + " pages");
        return;
    }
    case 'S':
    case 'T':
        if (FState != Receiving) {
            Log(std::string("block \"") + Kind + "\" outside a transfer ignored");
            return;
        }
        HandleBlock(Payload, Now);
        return;
    default:
        Log("receiver request \"" + Sub + "\" ignored");
        return;
    }
}

void GpsModule::HandleBlock(const std::string& Payload, Clock::time_point Now)
{
    const char Kind = Payload[0];
    FTransferDeadline = After(Now, FConfig.TransferTimeoutMs);
    if (Payload.size() < 3) {
        EndTransfer("block without data", Kind);
        return;
    }
    const int Index = static_cast<uint8_t>(Payload[1]);
    if (FNextIndex > 0 && Index == ((FNextIndex - 1) & 0xFF)) {
        ++FCount.BlockRepeats;
        Log("block " + std::to_string(Index) + " again: acknowledged, not stored twice");
        SendReply(StatusFrame(std::string(1, Kind) + "\x01"));
        return;
    }
    if (Index != (FNextIndex & 0xFF)) {
        EndTransfer("block index " + std::to_string(Index) + " where " + std::to_string(FNextIndex & 0xFF) +
                        " was due",
                    Kind);
        return;
    }
    std::string Chunk;
    if (Kind == 'T') {
        if (!InflateRaw(Payload.substr(2), ChunkSize, Chunk) || Chunk.empty()) {
            EndTransfer("block " + std::to_string(Index) + " does not inflate to a chunk", Kind);
            return;
        }
    } else {
        Chunk = Payload.substr(2);
        if (Chunk.size() > ChunkSize) {
            EndTransfer("block " + std::to_string(Index) + " longer than 2048 bytes", Kind);
            return;
        }
    }
    const std::size_t Limit = static_cast<std::size_t>(FPages) * 256;
    if (FImage.size() + Chunk.size() > Limit) {
        EndTransfer("more data than the " + std::to_string(FPages) + " pages announced", Kind);
        return;
    }
    if (Chunk.size() < ChunkSize && FImage.size() + Chunk.size() <= Limit - 256) {
        EndTransfer("short block " + std::to_string(Index) + " before the end of the image", Kind);
        return;
    }
    if (DrawRefuse()) {
        ++FCount.BlocksRefused;
        Log("block " + std::to_string(Index) + " refused (fault)");
        SendReply(StatusFrame(std::string(1, Kind) + "\x02"));
        FState = Idle;
        FTransferDeadline = Clock::time_point::max();
        SetRate(FConfig.BaudRate);
        return;
    }
    FImage += Chunk;
    ++FNextIndex;
    ++FCount.BlocksReceived;
    if (FImage.size() >= ImageHeaderSize && FImage.size() - Chunk.size() < ImageHeaderSize) {
        std::string Head = FImage.substr(0, ImageHeaderSize);
        if (Head.compare(ImageMagicOffset, 6, "MTKGPS") != 0 || Head.compare(ImageAxnOffset, 3, "AXN") != 0) {
            EndTransfer("not a MediaTek image", Kind);
            return;
        }
        const uint32_t Declared = ImageDeclaredLength(Head);
        if ((Declared + 255) / 256 != static_cast<uint32_t>(FPages)) {
            EndTransfer("header declares " + std::to_string(Declared) + " bytes, not " +
                            std::to_string(FPages) + " pages",
                        Kind);
            return;
        }
    }
    if (FImage.size() + 256 <= Limit) {
        const bool FF = FConfig.StatusFFShare > 0 &&
                        std::uniform_real_distribution<double>(0.0, 1.0)(FRandom) < FConfig.StatusFFShare;
        SendReply(StatusFrame(std::string(1, Kind) + (FF ? "\xFF" : "\x01")));
        return;
    }
    // Last block: the image is complete.
    const std::string Error = CheckMediaTekImage(FImage);
    if (!Error.empty()) {
        EndTransfer(Error, Kind);
        return;
    }
    FState = Idle;
    FTransferDeadline = Clock::time_point::max();
    FProgramming = true;
    FProgKind = Kind;
    FProgImage = std::move(FImage);
    FImage.clear();
    FProgEnd = After(Now, FConfig.ProgrammingMs);
    ++FCount.ImagesReceived;
    Log("image complete (" + std::to_string(FProgImage.size()) + " bytes): the receiver programs it");
    if (!FConfig.StatusAfterLastBlock) {
        Log("last block taken, no status sent (as configured)");
        SetRate(FConfig.BaudRate);
    } else if (FConfig.LastAckWaitMs <= 0) {
        SendReply(StatusFrame(std::string(1, Kind) + "\x01"));
        SetRate(FConfig.BaudRate);
    } else {
        // The tool acknowledges the status at the fast rate; a controller that
        // left it at once would take that acknowledgement for noise.
        SendReply(StatusFrame(std::string(1, Kind) + "\x01"));
        FAwaitingAck = true;
        FAckDeadline = After(Now, FConfig.LastAckWaitMs);
    }
}

void GpsModule::LeaveFastRate(const char* Why)
{
    FAwaitingAck = false;
    FAckDeadline = Clock::time_point::max();
    Log(std::string(Why) + ": back to " + std::to_string(FConfig.BaudRate) + " bit/s");
    SetRate(FConfig.BaudRate);
}

void GpsModule::EndTransfer(const std::string& Error, char Kind)
{
    ++FCount.TransferFailures;
    FCount.TransferError = Error;
    Log("transfer refused: " + Error);
    if (Kind) {
        ++FCount.BlocksRefused;
        SendReply(StatusFrame(std::string(1, Kind) + "\x02"));
    }
    FState = Idle;
    FImage.clear();
    FTransferDeadline = Clock::time_point::max();
    FSwitchDeadline = Clock::time_point::max();
    FDotNext = Clock::time_point::max();
    SetRate(FConfig.BaudRate);
}

// ---- Controller firmware ----

void GpsModule::StartLoader(Clock::time_point Now, bool Persistent)
{
    FLoaderAt = Clock::time_point::max();
    FState = Loader;
    BlockPuller::Settings S;
    S.Width = FConfig.FirmwareWidth;
    S.HardwareId = FConfig.HardwareId;
    S.TimeoutMs = FConfig.BlockTimeoutMs;
    if (Persistent)
        S.MaxTries = 1 << 20; // a loader with no firmware keeps asking
    FPuller.Start(S, Now);
}

void GpsModule::FinishLoader(Clock::time_point Now)
{
    FFirmware = FPuller.Result();
    FCount.ControllerRetries += FFirmware.Retries;
    FPuller.Abort();
    if (FFirmware.Error.empty()) {
        ++FCount.ControllerUpdates;
        FCount.ControllerError.clear();
        FMajor = 2;
        FMinor = 0;
        // The new firmware names its version at its start.
        const std::string Bytes = FirmwareBytes(FFirmware);
        unsigned Major = 0, Minor = 0;
        if (Bytes.compare(0, 11, "VELTRAC FW ") == 0 &&
            std::sscanf(Bytes.c_str() + 11, "%u.%2u", &Major, &Minor) == 2 && Major < 256 && Minor < 100) {
            FMajor = static_cast<uint8_t>(Major);
            FMinor = static_cast<uint8_t>(Minor);
        }
        if (FConfig.UpdatedMajor || FConfig.UpdatedMinor) {
            FMajor = FConfig.UpdatedMajor;
            FMinor = FConfig.UpdatedMinor;
        }
    } else {
        ++FCount.ControllerFailures;
        FCount.ControllerError = FFirmware.Error;
    }
    FState = Restarting;
    FRestartEnd = After(Now, FConfig.RestartMs);
    Log("controller restarts on version " + ControllerText());
}

// ---- Time ----

void GpsModule::OnTimer(Clock::time_point Now)
{
    if (FLoaderAt <= Now)
        StartLoader(Now, false);
    if (FState == Loader) {
        FPuller.OnTimer(Now);
        if (FPuller.Finished())
            FinishLoader(Now);
    }
    if (FState == Restarting && FRestartEnd <= Now) {
        FState = Idle;
        FRestartEnd = Clock::time_point::max();
        Log("controller running");
    }
    if (FState == Preparing) {
        if (FDotNext <= Now) {
            if (FDots < FConfig.PrepareDots || ToolRateLocked() != FConfig.FastBaudRate) {
                SendUnsolicited(".");
                ++FDots;
                ++FCount.DotsSent;
                FDotNext = After(Now, FConfig.DotIntervalMs);
            } else {
                SendUnsolicited(StatusFrame("R\x01"));
                FState = Receiving;
                FDotNext = Clock::time_point::max();
                FSwitchDeadline = Clock::time_point::max();
                FTransferDeadline = After(Now, FConfig.TransferTimeoutMs);
                Log("receiver ready for blocks");
            }
        }
        if (FState == Preparing && FSwitchDeadline <= Now)
            EndTransfer("the tool's port never came to " + std::to_string(FConfig.FastBaudRate) + " bit/s",
                        0);
    }
    if (FState == Receiving && FTransferDeadline <= Now)
        EndTransfer("no block for " + std::to_string(FConfig.TransferTimeoutMs) + " ms", 0);
    if (FAwaitingAck && FAckDeadline <= Now) {
        // The wait counts from when the status has gone out (it may be paced or held back).
        const Clock::time_point Gone = LastTxAt() + std::chrono::milliseconds(FConfig.LastAckWaitMs);
        if (!TxIdle())
            FAckDeadline = After(Now, 5);
        else if (Gone > Now)
            FAckDeadline = Gone;
        else {
            ++FCount.LastAckTimeouts;
            LeaveFastRate("no acknowledgement of the last status");
        }
    }
    if (FProgramming && FProgEnd <= Now) {
        FProgramming = false;
        FProgEnd = Clock::time_point::max();
        FReceiverImage = std::move(FProgImage);
        FProgImage.clear();
        FReceiverVersion = FConfig.VersionAfterProgramming.empty() ? ImageVersionText(FReceiverImage)
                                                                   : FConfig.VersionAfterProgramming;
        FReceiverReadable = true;
        ++FCount.Programmings;
        FCount.TransferError.clear();
        Log("receiver programmed: now \"" + FReceiverVersion + "\"");
        if (FConfig.StatusWhenProgrammed) {
            SendUnsolicited(StatusFrame(std::string(1, FProgKind) + "\x02"));
            Log(std::string("status \"") + FProgKind + "\" 02: programming done");
        }
        Point("programmed");
    }
}

Clock::time_point GpsModule::NextTimer() const
{
    Clock::time_point T = std::min({FLoaderAt, FPuller.NextTimer(), FRestartEnd, FProgEnd, FAckDeadline});
    if (FState == Preparing)
        T = std::min({T, FDotNext, FSwitchDeadline});
    if (FState == Receiving)
        T = std::min(T, FTransferDeadline);
    return T;
}

void GpsModule::OnLineLost(bool Unplugged)
{
    if (FProgramming && !Unplugged) {
        FCount.EndsWhileProgramming.push_back("port closed");
        Log("the tool closed its port while the receiver programs");
    }
    if (FState == Loader) {
        FPuller.Abort();
        ++FCount.ControllerFailures;
        FCount.ControllerError = "line lost during the controller update";
        FState = Idle;
    }
    if (FState == Preparing || FState == Receiving)
        EndTransfer("line lost during the transfer", 0);
    FLoaderAt = Clock::time_point::max();
    FAwaitingAck = false;
    FAckDeadline = Clock::time_point::max();
    FInFrame = false;
    FEscape = false;
    SetRate(FConfig.BaudRate);
}

} // namespace devsim
