#include "tools/devsim/VeltracUnit.h"

#include "tools/devsim/ReceiverImage.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace devsim
{

namespace
{

constexpr int ParamImage = 65352;
constexpr int ParamReceiverVersion = 65354;
const std::string WakeText = "_CONFIGB\r";

void Put16(std::string& S, unsigned V)
{
    S += static_cast<char>((V >> 8) & 0xFF);
    S += static_cast<char>(V & 0xFF);
}

void Put24(std::string& S, unsigned V)
{
    S += static_cast<char>((V >> 16) & 0xFF);
    Put16(S, V);
}

void Put32(std::string& S, uint32_t V)
{
    Put16(S, V >> 16);
    Put16(S, V & 0xFFFF);
}

std::string HexText(uint32_t V)
{
    char B[16];
    std::snprintf(B, sizeof B, "%X", V);
    return B;
}

} // namespace

std::string UnitVersionText(uint8_t Major, uint8_t Minor, uint8_t Revision, char Letter)
{
    char B[32];
    std::snprintf(B, sizeof B, "%u.%02u", Major, Minor);
    std::string T = B;
    if (Revision > 0) {
        std::snprintf(B, sizeof B, ".%02u", Revision);
        T += B;
    }
    if (Letter != 0)
        T += Letter;
    return T;
}

const char* UnitCommandName(int Cmd)
{
    switch (Cmd) {
    case 0x00:
        return "keepalive";
    case 0x03:
        return "param";
    case 0x04:
        return "setparam";
    case 0x05:
        return "gps";
    case 0x0A:
        return "version";
    case 0x11:
        return "firmware";
    case 0x14:
        return "speed";
    case 0x1C:
        return "eeprom";
    case 0x28:
        return "logger";
    case 0xF2:
        return "off";
    case 0xFF:
        return "end";
    default:
        return "command";
    }
}

UnitState::UnitState(const UnitConfig& Config)
    : FConfig(Config), FMajor(Config.VersionMajor), FMinor(Config.VersionMinor),
      FLetter(Config.RevisionLetter), FRevision(Config.Revision), FReceiverVersion(Config.ReceiverVersion),
      FReceiverReadable(Config.ReceiverReadable), FEeprom(Config.EepromSize, '\xFF'),
      FWritten(Config.EepromSize, false)
{
}

VeltracUnit::VeltracUnit(const UnitConfig& Config)
    : ReportingDevice("unit", Config.BaudRate, Config.WrongRateGarbage), UnitState(Config)
{
    Log("Veltrac unit " + std::to_string(FConfig.UnitId) + ", class " + std::to_string(FConfig.Class) +
        ", version " + VersionTextLocked() + ", receiver \"" + FReceiverVersion + "\" on " +
        SlavePathLocked());
    PowerOn();
    Start();
}

VeltracUnit::~VeltracUnit()
{
    Stop();
}

void VeltracUnit::PowerOn()
{
    FPuller.Send = [this](const std::string& R) { SendUnsolicited(R); };
    FPuller.Log = [this](const std::string& T) { Log(T); };
    if (FConfig.ProgrammingAtStartMs > 0)
        ProgrammingUnderWay(Clock::now());
}

std::optional<UnitReport> VeltracUnit::Exchange(const UnitConfig& Next, uint32_t Seed)
{
    return MoveCable({Next.BaudRate, Next.WrongRateGarbage, Seed}, [&] {
        static_cast<UnitState&>(*this) = UnitState(Next);
        Log("cable moved to the next device: unit " + std::to_string(FConfig.UnitId));
        PowerOn();
    });
}

UnitConfig VeltracUnit::Config() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FConfig;
}

std::string VeltracUnit::VersionTextLocked() const
{
    return UnitVersionText(FMajor, FMinor, FRevision, FLetter);
}

UnitReport VeltracUnit::ReportLocked() const
{
    UnitReport R = FCount;
    R.Line = FLine;
    R.Rate = Rate();
    R.Framed = FState == Framed;
    R.Off = FState == Off;
    R.Programming = FProgramming;
    R.Pulling = FState == Pulling;
    R.VersionText = VersionTextLocked();
    R.ReceiverVersion = FReceiverVersion;
    R.ReceiverReadable = FReceiverReadable;
    R.ReceiverImageSize = FReceiverImage.size();
    R.GpsReports = FGps;
    R.LoggerReports = FLogger;
    return R;
}

std::string VeltracUnit::ReceiverImage() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FReceiverImage;
}

std::string VeltracUnit::Eeprom(uint32_t Address, uint32_t Length) const
{
    std::lock_guard<std::mutex> L(FMutex);
    if (Address >= FEeprom.size())
        return {};
    return FEeprom.substr(Address, Length);
}

PulledFirmware VeltracUnit::Firmware() const
{
    std::lock_guard<std::mutex> L(FMutex);
    return FFirmware;
}

void VeltracUnit::SetReceiverVersion(const std::string& Version, bool Readable)
{
    std::lock_guard<std::mutex> L(FMutex);
    FReceiverVersion = Version;
    FReceiverReadable = Readable;
    FChanged.notify_all();
}

// ---- Frames ----

std::string VeltracUnit::Frame(uint8_t Cmd, const std::string& Payload) const
{
    std::string W;
    W += '\x02';
    W += '\x04';
    uint8_t Sum = static_cast<uint8_t>(Cmd + Payload.size());
    auto Esc = [&W](uint8_t B) {
        if (B == 0x02 || B == 0x11 || B == 0x13) {
            W += '\x10';
            W += static_cast<char>(B + 1);
        } else if (B == 0x10) {
            W += "\x10\x10";
        } else {
            W += static_cast<char>(B);
        }
    };
    Esc(Cmd);
    Esc(static_cast<uint8_t>(Payload.size()));
    for (char C : Payload) {
        Esc(static_cast<uint8_t>(C));
        Sum = static_cast<uint8_t>(Sum + static_cast<uint8_t>(C));
    }
    Esc(Sum);
    return W;
}

void VeltracUnit::Reply(uint8_t Cmd, const std::string& Payload)
{
    SendReply(Frame(Cmd, Payload));
}

void VeltracUnit::Send(uint8_t Cmd, const std::string& Payload)
{
    SendUnsolicited(Frame(Cmd, Payload));
}

std::string VeltracUnit::UnitInfoPayload() const
{
    std::string P;
    P += static_cast<char>(FConfig.Class);
    Put24(P, FConfig.UnitId);
    Put24(P, FConfig.OriginalId ? FConfig.OriginalId : FConfig.UnitId);
    Put16(P, FConfig.HexType);
    Put16(P, FConfig.OriginalHexType);
    P += static_cast<char>(FMajor);
    P += static_cast<char>(FMinor);
    P += static_cast<char>(FConfig.CoreMajor);
    P += static_cast<char>(FConfig.CoreMinor);
    P += static_cast<char>(FConfig.AuxMajor);
    P += static_cast<char>(FConfig.AuxMinor);
    Put16(P, FConfig.ExtCode);
    P += static_cast<char>(FConfig.MaxLength);
    P += static_cast<char>(FConfig.WideParameters ? 0x01 : 0x00);
    P += static_cast<char>(FRevision);
    P += FLetter;
    Put16(P, FConfig.HexType);
    Put16(P, FConfig.ExtSize);
    return P; // 27 bytes
}

std::string VeltracUnit::VersionInfoPayload() const
{
    std::string P;
    P += static_cast<char>(FConfig.Hardware);
    P += static_cast<char>(FConfig.HardwareRev);
    P += static_cast<char>(FConfig.Class);
    P += static_cast<char>(FConfig.Hardware);
    P += std::string(12, '\0');  // capability words W1..W6
    P += std::string(2, '\0');   // B7, B8
    P += static_cast<char>(103); // STM32F103, 128 KiB flash
    P += static_cast<char>(4);
    Put16(P, 0); // W9
    return P;    // 22 bytes
}

std::string VeltracUnit::GpsPayload(bool Short) const
{
    const std::time_t T = std::time(nullptr);
    std::tm U{};
    gmtime_r(&T, &U);
    std::string P;
    if (Short) {
        P += static_cast<char>(59);
        P += static_cast<char>(26);
        Put16(P, 1234);
        P += 'N';
        P += static_cast<char>(24);
        P += static_cast<char>(45);
        Put16(P, 6789);
        P += 'E';
        Put16(P, 0);
        return P; // 12 bytes
    }
    Put16(P, static_cast<unsigned>(U.tm_year + 1900));
    P += static_cast<char>(U.tm_mon + 1);
    P += static_cast<char>(U.tm_mday);
    P += static_cast<char>(U.tm_hour);
    P += static_cast<char>(U.tm_min);
    P += static_cast<char>(U.tm_sec);
    P += static_cast<char>(59);
    P += static_cast<char>(26);
    Put16(P, 1234);
    P += 'N';
    P += static_cast<char>(24);
    P += static_cast<char>(45);
    Put16(P, 6789);
    P += 'E';
    P += static_cast<char>(9); // satellites
    Put16(P, 0);               // speed
    Put16(P, 42);              // altitude
    P += static_cast<char>(0x13);
    P += static_cast<char>(9);
    P += static_cast<char>(11);
    P += static_cast<char>(14);
    P += static_cast<char>(0x80); // fix valid
    return P;                     // 27 bytes
}

// ---- Receiving ----

void VeltracUnit::OnReceived(const std::string& Bytes, Clock::time_point Now)
{
    if (FState == Pulling) {
        const int Before = FPuller.BlocksDone();
        FPuller.OnBytes(Bytes, Now);
        for (int i = Before; i < FPuller.BlocksDone(); ++i)
            Point("block");
        if (FPuller.Finished())
            FinishPull(Now);
        return;
    }
    if (FState == Restarting || FState == Off)
        return;
    for (char C : Bytes) {
        if (HangingUp())
            return;
        const auto B = static_cast<uint8_t>(C);
        FWake += C;
        if (FWake.size() > WakeText.size())
            FWake.erase(0, FWake.size() - WakeText.size());
        if (FWake == WakeText) {
            FWake.clear();
            Wakeup(Now);
            continue;
        }
        if (FState == Framed)
            RxByte(B, Now);
        if (FState != Framed && FState != Idle)
            return; // the command just handled left framed mode
    }
}

void VeltracUnit::RxByte(uint8_t B, Clock::time_point Now)
{
    // A bare 02 starts a frame wherever it comes; it is never part of one.
    if (B == 0x02) {
        if (FRxState != Hunt)
            ++FLine.BadFrames;
        FRxState = Address;
        FEscape = false;
        return;
    }
    if (FRxState == Hunt)
        return;
    if (FRxState == Address) {
        FRxAddress = B;
        FRxState = Command;
        return;
    }
    if (FEscape) {
        FEscape = false;
        if (B == 0x03 || B == 0x12 || B == 0x14)
            B = static_cast<uint8_t>(B - 1);
    } else if (B == 0x10) {
        FEscape = true;
        return;
    }
    switch (FRxState) {
    case Command:
        FRxCmd = B;
        FRxState = Length;
        break;
    case Length:
        FRxLen = B;
        FRxData.clear();
        FRxState = B ? Data : Sum;
        break;
    case Data:
        FRxData += static_cast<char>(B);
        if (FRxData.size() == FRxLen)
            FRxState = Sum;
        break;
    case Sum: {
        FRxState = Hunt;
        uint8_t S = static_cast<uint8_t>(FRxCmd + FRxLen);
        for (char C : FRxData)
            S = static_cast<uint8_t>(S + static_cast<uint8_t>(C));
        if (S != B) {
            ++FLine.BadFrames;
            Log("frame with a bad checksum dropped (command " + HexText(FRxCmd) + ")");
            return;
        }
        if (FRxAddress != 0x01) {
            Log("frame for address " + HexText(FRxAddress) + " ignored");
            return;
        }
        HandleCommand(FRxCmd, FRxData, Now);
        break;
    }
    default:
        break;
    }
}

void VeltracUnit::Wakeup(Clock::time_point Now)
{
    if (Point("wakeup"))
        return;
    if (DropCommand({"wakeup"}))
        return;
    ++FCount.Wakeups;
    const bool Was = FState == Framed;
    FState = Framed;
    FRxState = Hunt;
    FGps = false;
    FGpsNext = Clock::time_point::max();
    FLogger = false;
    FSessionVersionRequests = 0;
    FLastCommand = Now;
    Log(std::string(Was ? "woken again" : "woken") + ": sends its unit information");
    if (FConfig.EchoWakeup)
        SendUnsolicited("_CONFIGB\r\n");
    if (!FConfig.Banner.empty())
        SendUnsolicited(FConfig.Banner);
    Reply(0x0B, UnitInfoPayload());
}

void VeltracUnit::HandleCommand(uint8_t Cmd, const std::string& Data, Clock::time_point Now)
{
    ++FCount.Commands[Cmd];
    if (ProgrammingOrAbout())
        ++FCount.CommandsWhileProgramming[Cmd];
    FLastCommand = Now;
    if (FFastDeadline != Clock::time_point::max() && Rate() == FConfig.FastBaudRate) {
        FFastDeadline = Clock::time_point::max(); // the tool follows the speed switch
    }
    const std::size_t W = FConfig.WideParameters ? 2 : 1;
    int Param = -1;
    if (Data.size() >= W)
        Param = W == 2 ? (static_cast<uint8_t>(Data[0]) << 8) | static_cast<uint8_t>(Data[1])
                       : static_cast<uint8_t>(Data[0]);

    const char* Name = UnitCommandName(Cmd);
    const char* Alias = "";
    if (Cmd == 0x03)
        Alias = Param == ParamImage ? "param65352" : Param == ParamReceiverVersion ? "param65354" : "";
    else if (Cmd == 0x04)
        Alias = Param == ParamImage ? "program" : "";
    if (DropCommand({Alias, Name}))
        return;
    if (Data.size() > FConfig.MaxLength) {
        Log("command " + HexText(Cmd) + " with " + std::to_string(Data.size()) +
            " payload bytes, above MaxLength");
        if (Cmd == 0x1C)
            ++FCount.EepromRefused;
        Ack(false);
        return;
    }

    switch (Cmd) {
    case 0x00:
        Ack(true);
        break;
    case 0x03:
        if (Param < 0) {
            Ack(false);
            break;
        }
        Parameter(Param, Now);
        break;
    case 0x04:
        if (Param < 0) {
            Ack(false);
            break;
        }
        SetParameter(Param, Data.substr(W), Now);
        break;
    case 0x05: {
        const uint8_t Mode = Data.empty() ? 0 : static_cast<uint8_t>(Data[0]);
        FGps = Mode != 0;
        FGpsShort = Mode == 2;
        FGpsNext = FGps ? After(Now, 200) : Clock::time_point::max();
        Log(FGps ? std::string("GPS reports on") + (FGpsShort ? " (short form)" : "") +
                       (GpsHeld() ? ", none while the receiver programs" : "")
                 : "GPS reports off");
        break;
    }
    case 0x0A:
        ++FCount.VersionRequests;
        if (++FSessionVersionRequests > 1)
            ++FCount.VersionRequestRepeats;
        if (Point("version"))
            return;
        Reply(0x0A, VersionInfoPayload());
        break;
    case 0x11:
        FCount.LastUpdateFlag = Data.size() == 1 && Data[0] == '\x01';
        if (!FConfig.AcceptsFirmware) {
            Log("refuses a firmware update");
            Ack(false);
            break;
        }
        if (Point("firmware"))
            return;
        Log(std::string("starts its firmware update") + (FCount.LastUpdateFlag ? " (flag set)" : ""));
        Ack(true);
        FPullAt = After(Now, 50);
        break;
    case 0x14:
        Ack(true);
        ++FCount.SpeedSwitches;
        if (ProgrammingOrAbout()) {
            ++FCount.SpeedSwitchesWhileProgramming;
            Log("speed switch while the receiver programs");
        }
        SetRate(FConfig.FastBaudRate);
        FFastDeadline = After(Now, FConfig.SpeedFallbackMs);
        break;
    case 0x18:
        Reply(0x18, std::string(1, Data.empty() ? '\0' : Data[0]));
        break;
    case 0x1C:
        if (Point("eeprom"))
            return;
        EepromWrite(Data);
        break;
    case 0x25:
        Ack(true);
        break;
    case 0x28:
        FLogger = !Data.empty() && Data[0] != 0;
        Log(FLogger ? "logger reports on" : "logger reports off");
        break;
    case 0xF2:
        Ack(true);
        ++FCount.TurnOffs;
        LinkEnded("F2 turn off");
        EndSession("switched off");
        FState = Off;
        FOnAgain = After(Now, FConfig.OffMs);
        break;
    case 0xFF:
        Ack(true);
        ++FCount.EndOfConnections;
        LinkEnded("FF end of connection");
        EndSession("end of connection");
        break;
    default:
        Ack(false);
        break;
    }
}

void VeltracUnit::Parameter(int Number, Clock::time_point)
{
    std::string Head;
    if (FConfig.WideParameters)
        Put16(Head, static_cast<unsigned>(Number));
    else
        Head += static_cast<char>(Number);
    if (Number == ParamImage) {
        if (Point("param65352"))
            return;
        if (!FConfig.ReceiverUpdates) {
            Reply(0x03, Head);
            return;
        }
        std::string V = HexText(FConfig.EepromAddress) + "," + (FReceiverReadable ? "1" : "0") + "," +
                        std::string(1, FConfig.Container);
        Reply(0x03, Head + V);
        return;
    }
    if (Number == ParamReceiverVersion) {
        ++FCount.ReceiverQuestions;
        if (Point("param65354"))
            return;
        // A receiver that cannot report has no text.
        const bool Has = FConfig.ReceiverUpdates && FReceiverReadable;
        const std::string Version = Has ? FReceiverVersion : std::string();
        if (FProgramAt != Clock::time_point::max()) {
            ++FCount.GapQuestions;
            Log("65354 before programming begins: the old version");
            Reply(0x03, Head + FReceiverVersion);
            return;
        }
        if (!FProgramming) {
            Reply(0x03, Head + Version);
            return;
        }
        ++FCount.BusyQuestions;
        switch (FConfig.AnswerWhileProgramming) {
        case BusyAnswer::OldVersion:
            Reply(0x03, Head + Version);
            break;
        case BusyAnswer::Empty:
            Reply(0x03, Head);
            break;
        case BusyAnswer::None:
            Log("65354 while programming: no answer");
            break;
        }
        return;
    }
    auto It = FParameters.find(Number);
    if (It == FParameters.end()) {
        Ack(false);
        return;
    }
    Reply(0x03, Head + It->second);
}

void VeltracUnit::SetParameter(int Number, const std::string& Value, Clock::time_point Now)
{
    if (Number == ParamImage) {
        if (!FConfig.ReceiverUpdates || Value != "1") {
            Ack(false);
            return;
        }
        if (Point("program"))
            return;
        Ack(true);
        ++FCount.ProgramStarts;
        if (ProgrammingOrAbout()) {
            ++FCount.ProgramStartRepeats;
            Log("65352 := 1 again while programming");
            return;
        }
        if (FConfig.ProgramGapMs <= 0) {
            StartProgramming(Now);
            return;
        }
        FProgramAt = After(Now, FConfig.ProgramGapMs);
        Log("programming begins in " + std::to_string(FConfig.ProgramGapMs) + " ms");
        return;
    }
    if (Number == ParamReceiverVersion) {
        Ack(false);
        return;
    }
    FParameters[Number] = Value;
    Ack(true);
}

void VeltracUnit::EepromWrite(const std::string& Data)
{
    if (Data.size() < 4) {
        ++FCount.EepromRefused;
        Ack(false);
        return;
    }
    const uint32_t Address = (static_cast<uint32_t>(static_cast<uint8_t>(Data[0])) << 24) |
                             (static_cast<uint32_t>(static_cast<uint8_t>(Data[1])) << 16) |
                             (static_cast<uint32_t>(static_cast<uint8_t>(Data[2])) << 8) |
                             static_cast<uint32_t>(static_cast<uint8_t>(Data[3]));
    const std::size_t Len = Data.size() - 4;
    ++FCount.EepromWrites;
    // The first record of a transfer goes to the image address; the same record
    // sent again at once (refused, or its answer lost) starts nothing new.
    const bool AtImage = Address == FConfig.EepromAddress && Len > 0;
    if (AtImage && !FLastWriteAtImage) {
        ++FCount.Transfers;
        if (ProgrammingOrAbout())
            ++FCount.TransfersWhileProgramming;
        Log("a transfer starts at the image address");
    }
    FLastWriteAtImage = AtImage;
    if (ProgrammingOrAbout()) {
        ++FCount.EepromRefused;
        ++FCount.EepromWritesWhileProgramming;
        Log("EEPROM write while programming refused");
        Ack(false);
        return;
    }
    if (static_cast<uint64_t>(Address) + Len > FEeprom.size()) {
        ++FCount.EepromRefused;
        Log("EEPROM write at " + HexText(Address) + " out of range");
        Ack(false);
        return;
    }
    if (DrawRefuse()) {
        ++FCount.EepromRefused;
        Log("EEPROM write at " + HexText(Address) + " refused (fault)");
        Ack(false);
        return;
    }
    bool Again = Len > 0;
    for (std::size_t i = 0; i < Len; ++i)
        Again = Again && FWritten[Address + i];
    if (Again)
        ++FCount.EepromRewrites;
    FEeprom.replace(Address, Len, Data, 4, Len);
    for (std::size_t i = 0; i < Len; ++i)
        FWritten[Address + i] = true;
    Ack(true);
}

// ---- Receiver programming ----

void VeltracUnit::StartProgramming(Clock::time_point Now)
{
    FLastWriteAtImage = false; // what is written next belongs to another transfer
    const uint32_t A = FConfig.EepromAddress;
    const char K = FConfig.Container;
    std::string Image, Error;
    std::size_t Extent = 0;
    if (A >= FEeprom.size()) {
        Error = "image address outside the EEPROM";
    } else if (K == 'C' || K == 'V') {
        FCount.ProgrammedFrom = K == 'C' ? "packed container" : "plain container";
        Error = ReadGpsContainer(FEeprom.substr(A), K == 'C', Image, &Extent);
    } else {
        FCount.ProgrammedFrom = "raw image";
        const std::string Header = FEeprom.substr(A, ImageHeaderSize);
        const uint32_t Declared = ImageDeclaredLength(Header);
        if (Header.size() < ImageHeaderSize || Declared < ImageHeaderSize ||
            static_cast<uint64_t>(A) + Declared > FEeprom.size())
            Error = "no readable image header at the image address";
        else {
            Image = FEeprom.substr(A, Declared);
            Extent = Declared;
        }
    }
    if (Error.empty())
        Error = CheckMediaTekImage(Image);
    if (Error.empty()) {
        // AXN and EVA receivers belong to different families; one does not take the other's image.
        const std::string Family = FReceiverVersion.substr(0, 3);
        const std::string Kind = ImageVersionText(Image).substr(0, 3);
        if ((Family == "AXN" || Family == "EVA") && (Kind == "AXN" || Kind == "EVA") && Family != Kind)
            Error = "an " + Kind + " image for an " + Family + " receiver";
    }
    uint64_t Unwritten = 0;
    for (std::size_t i = A; i < A + Extent && i < FWritten.size(); ++i)
        Unwritten += FWritten[i] ? 0 : 1;
    FCount.UnwrittenBytes = Unwritten;
    if (Unwritten > 0)
        Log(std::to_string(Unwritten) + " bytes of the image were not written in this transfer");
    if (!Error.empty()) {
        ++FCount.ProgrammingFailures;
        FCount.ProgrammingError = Error;
        Log("receiver programming refused: " + Error);
        return;
    }
    BeginProgramming(std::move(Image), Now, After(Now, FConfig.ProgrammingMs), Now);
    Log("programs the receiver from the " + FCount.ProgrammedFrom + " (" + std::to_string(FProgImage.size()) +
        " bytes)");
    Point("programming");
}

void VeltracUnit::BeginProgramming(std::string Image, Clock::time_point Start, Clock::time_point End,
                                   Clock::time_point Now)
{
    FProgramming = true;
    FProgImage = std::move(Image);
    FProgTotal = static_cast<int>((FProgImage.size() + 255) / 256);
    FProgStart = Start;
    FProgEnd = End;
    FLoggerNext = Now;
}

void VeltracUnit::ProgrammingUnderWay(Clock::time_point Now)
{
    const std::string& Next = FConfig.VersionAfterProgramming;
    std::string Image =
        FConfig.ImageAtStart.empty()
            ? MakeMediaTekImage(Next.empty() ? FReceiverVersion : Next, 256 * 1024, FConfig.UnitId)
            : FConfig.ImageAtStart;
    const char K = FConfig.Container;
    FCount.ProgrammedFrom = K == 'C' ? "packed container" : K == 'V' ? "plain container" : "raw image";
    const std::string Stored = K == 'C' || K == 'V' ? MakeGpsContainer(Image, K == 'C') : Image;
    const uint32_t A = FConfig.EepromAddress;
    if (A < FEeprom.size())
        FEeprom.replace(A, std::min(Stored.size(), FEeprom.size() - A), Stored, 0,
                        std::min(Stored.size(), FEeprom.size() - A));
    // Of a programming longer than what is left, the part before the unit was found is done.
    const int Left = FConfig.ProgrammingAtStartMs;
    const int Done = std::max(0, FConfig.ProgrammingMs - Left);
    BeginProgramming(std::move(Image), Now - std::chrono::milliseconds(Done), After(Now, Left), Now);
    FCount.ProgrammingAtStart = true;
    Log("switched on with its receiver programming from the " + FCount.ProgrammedFrom + " (" +
        std::to_string(FProgImage.size()) + " bytes): " + std::to_string(Left) + " ms left");
}

void VeltracUnit::LinkEnded(const char* How)
{
    if (!ProgrammingOrAbout())
        return;
    FCount.EndsWhileProgramming.push_back(How);
    Log(std::string(How) + " while the receiver programs");
}

void VeltracUnit::SendLoggerStatus(Clock::time_point Now)
{
    const double Span = std::chrono::duration<double>(FProgEnd - FProgStart).count();
    const double Done = Span > 0 ? std::chrono::duration<double>(Now - FProgStart).count() / Span : 1.0;
    int Current = static_cast<int>(FProgTotal * std::min(1.0, std::max(0.0, Done)));
    std::string P;
    if (FProgTotal <= 0xFFFF) {
        Put16(P, static_cast<unsigned>(Current));
        Put16(P, static_cast<unsigned>(FProgTotal));
    } else {
        Put32(P, static_cast<uint32_t>(Current));
        Put32(P, static_cast<uint32_t>(FProgTotal));
    }
    if (FLogger && FState == Framed) {
        if (Point("logger"))
            return;
        Send(0x28, P);
        ++FCount.LoggerStatusSent;
    }
}

void VeltracUnit::FinishProgramming(Clock::time_point Now)
{
    SendLoggerStatus(FProgEnd);
    FProgramming = false;
    FLoggerNext = Clock::time_point::max();
    FReceiverImage = std::move(FProgImage);
    FProgImage.clear();
    FReceiverVersion = FConfig.VersionAfterProgramming.empty() ? ImageVersionText(FReceiverImage)
                                                               : FConfig.VersionAfterProgramming;
    FReceiverReadable = true;
    ++FCount.Programmings;
    FCount.ProgrammingError.clear();
    std::fill(FWritten.begin(), FWritten.end(), false);
    Log("receiver programmed: now \"" + FReceiverVersion + "\"");
    Point("programmed");
    if (FConfig.ResumeGpsAfterProgramming && FState == Framed && !FGps) {
        FGps = true;
        FGpsShort = false;
        FGpsNext = After(Now, 200);
        Log("GPS reports on again");
    }
}

// ---- Own firmware ----

void VeltracUnit::StartPull(Clock::time_point Now)
{
    FPullAt = Clock::time_point::max();
    FState = Pulling;
    FGps = false;
    FGpsNext = Clock::time_point::max();
    BlockPuller::Settings S;
    S.Width = FConfig.FirmwareWidth;
    S.HardwareId = FConfig.HardwareId;
    S.TimeoutMs = FConfig.BlockTimeoutMs;
    FPuller.Start(S, Now);
}

void VeltracUnit::FinishPull(Clock::time_point Now)
{
    FFirmware = FPuller.Result();
    FCount.FirmwareRetries += FFirmware.Retries;
    if (FFirmware.Error.empty()) {
        ++FCount.FirmwareUpdates;
        FCount.FirmwareError.clear();
        if (FConfig.NewVersionMajor || FConfig.NewVersionMinor) {
            FMajor = FConfig.NewVersionMajor;
            FMinor = FConfig.NewVersionMinor;
        } else if (FMinor >= 99) {
            ++FMajor;
            FMinor = 0;
        } else {
            ++FMinor;
        }
        FLetter = FConfig.NewRevisionLetter;
        FRevision = 0;
    } else {
        ++FCount.FirmwareFailures;
        FCount.FirmwareError = FFirmware.Error;
    }
    FPuller.Abort();
    FState = Restarting;
    FRestartEnd = After(Now, FConfig.RestartMs);
    SetRate(FConfig.BaudRate);
    Log("restarts on version " + VersionTextLocked());
}

void VeltracUnit::EndSession(const char* Why)
{
    FState = Idle;
    FLastWriteAtImage = false;
    FRxState = Hunt;
    FGps = false;
    FGpsNext = Clock::time_point::max();
    FLogger = false;
    FFastDeadline = Clock::time_point::max();
    SetRate(FConfig.BaudRate);
    Log(Why);
}

// ---- Time ----

void VeltracUnit::OnTimer(Clock::time_point Now)
{
    if (FPullAt <= Now && FState == Framed)
        StartPull(Now);
    else if (FPullAt <= Now)
        FPullAt = Clock::time_point::max();
    if (FState == Pulling) {
        FPuller.OnTimer(Now);
        if (FPuller.Finished())
            FinishPull(Now);
    }
    if (FState == Off && FOnAgain <= Now) {
        FState = Idle;
        FOnAgain = Clock::time_point::max();
        Log("switched on again");
    }
    if (FState == Restarting && FRestartEnd <= Now) {
        FState = Idle;
        FRestartEnd = Clock::time_point::max();
        Log("running, waits for the wake-up");
    }
    if (FProgramAt <= Now) {
        FProgramAt = Clock::time_point::max();
        StartProgramming(Now);
    }
    if (FProgramming) {
        if (FProgEnd <= Now)
            FinishProgramming(Now);
        else if (FLoggerNext <= Now) {
            SendLoggerStatus(Now);
            FLoggerNext = After(Now, FConfig.LoggerIntervalMs);
        }
    }
    if (FFastDeadline <= Now) {
        FFastDeadline = Clock::time_point::max();
        if (Rate() == FConfig.FastBaudRate) {
            ++FCount.SpeedFallbacks;
            Log("no frame at the fast rate: back to " + std::to_string(FConfig.BaudRate));
            SetRate(FConfig.BaudRate);
        }
    }
    if (FState == Framed && FGps && !GpsHeld() && FGpsNext <= Now) {
        Send(0x05, GpsPayload(FGpsShort));
        ++FCount.GpsReportsSent;
        FGpsNext = After(FGpsNext, FConfig.GpsIntervalMs);
        if (FGpsNext < Now)
            FGpsNext = After(Now, FConfig.GpsIntervalMs);
    }
    if (FState == Framed && Now - FLastCommand > std::chrono::milliseconds(FConfig.LinkTimeoutMs))
        EndSession("no command for a while: leaves framed mode");
}

Clock::time_point VeltracUnit::NextTimer() const
{
    Clock::time_point T = std::min({FPullAt, FPuller.NextTimer(), FRestartEnd, FFastDeadline});
    if (FState == Off)
        T = std::min(T, FOnAgain);
    T = std::min(T, FProgramAt);
    if (FProgramming)
        T = std::min({T, FProgEnd, FLoggerNext});
    if (FState == Framed) {
        if (FGps && !GpsHeld())
            T = std::min(T, FGpsNext);
        T = std::min(T, FLastCommand + std::chrono::milliseconds(FConfig.LinkTimeoutMs) +
                            std::chrono::milliseconds(1));
    }
    return T;
}

void VeltracUnit::OnLineLost(bool Unplugged)
{
    if (!Unplugged)
        LinkEnded("port closed");
    if (FState == Pulling) {
        FPuller.Abort();
        ++FCount.FirmwareFailures;
        FCount.FirmwareError = "line lost during the firmware update";
    }
    FPullAt = Clock::time_point::max();
    if (FState == Off) {
        FWake.clear();
        return; // it stays off whatever the line does
    }
    FWake.clear();
    if (Unplugged && FState == Framed) {
        // Nothing tells the unit that the cable or the tool's adapter is gone:
        // it keeps its session, and its rate, until no command came for
        // LinkTimeoutMs; a frame cut off by the unplug is dropped.
        FRxState = Hunt;
        FEscape = false;
        Log("line unplugged: the unit keeps its session until its link time-out");
        return;
    }
    EndSession(Unplugged ? "line unplugged: session over" : "session over");
}

} // namespace devsim
