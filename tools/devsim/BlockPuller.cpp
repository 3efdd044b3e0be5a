#include "tools/devsim/BlockPuller.h"

#include "util/MyFunctions.h"

#include <algorithm>
#include <cstdio>

namespace devsim
{

namespace
{

constexpr int WideInfo = 0xFFFD;
constexpr int WideEnd = 0xFFFF;
constexpr int NarrowMap = 1;
constexpr int NarrowEnd = 0;
constexpr std::size_t MaxBuffer = 8192;

bool IsDoubleMap(const std::string& Map)
{
    return Map.size() >= 2 && static_cast<uint8_t>(Map[0]) == 0x07 && static_cast<uint8_t>(Map[1]) == 0xE3;
}

// Block numbers named by map bytes 2.., ascending.
std::vector<int> MappedBlocks(const std::string& Map)
{
    std::vector<int> L;
    const bool Double = IsDoubleMap(Map);
    for (std::size_t k = 2; k < Map.size(); ++k)
        for (int b = 0; b < 8; ++b)
            if (static_cast<uint8_t>(Map[k]) & (1u << b)) {
                const int n = static_cast<int>(8 * k) + b;
                if (Double) {
                    L.push_back(2 * n);
                    L.push_back(2 * n + 1);
                } else {
                    L.push_back(n);
                }
            }
    return L;
}

std::string Hex4(unsigned V)
{
    char B[8];
    std::snprintf(B, sizeof B, "%04X", V & 0xFFFF);
    return B;
}

} // namespace

std::string FirmwareBytes(const PulledFirmware& F)
{
    std::string Out;
    for (int n : MappedBlocks(F.Map)) {
        auto It = F.Blocks.find(n);
        Out += It != F.Blocks.end() ? It->second : std::string(256, '\xFF');
    }
    return Out;
}

void BlockPuller::Start(const Settings& S, Clock::time_point Now)
{
    FSet = S;
    FPhase = Info;
    FAttempt = 0;
    FTries = 0;
    FBuf.clear();
    FList.clear();
    FNext = 0;
    FLastPercent = -1;
    FResult = PulledFirmware{};
    FWide = S.Width != BlockWidth::Narrow;
    RequestCurrent(Now);
}

void BlockPuller::Abort()
{
    FPhase = Idle;
    FDeadline = Clock::time_point::max();
}

void BlockPuller::Request(int Number, Clock::time_point Now)
{
    std::string R = "{";
    if (FWide) {
        R += static_cast<char>((Number >> 8) & 0xFF);
        R += static_cast<char>(Number & 0xFF);
    } else {
        R += static_cast<char>(Number & 0xFF);
    }
    R += '}';
    if (Send)
        Send(R);
    FDeadline = Now + std::chrono::milliseconds(FSet.TimeoutMs);
}

void BlockPuller::RequestCurrent(Clock::time_point Now)
{
    if (FPhase == Info)
        Request(FWide ? WideInfo : NarrowMap, Now);
    else if (FPhase == Data)
        Request(FList[FNext], Now);
}

bool BlockPuller::TakeAnswer(int Number, std::string& Payload)
{
    const std::size_t NumLen = FWide ? 2 : 1;
    std::size_t From = 0;
    for (;;) {
        const std::size_t P = FBuf.find('{', From);
        if (P == std::string::npos) {
            FBuf.clear();
            return false;
        }
        if (FBuf.size() < P + NumLen + 2)
            break; // not enough yet to tell
        int Got = static_cast<uint8_t>(FBuf[P + 1]);
        if (FWide)
            Got = (Got << 8) | static_cast<uint8_t>(FBuf[P + 2]);
        if (Got != Number) {
            From = P + 1;
            continue;
        }
        std::size_t Len = static_cast<uint8_t>(FBuf[P + 1 + NumLen]);
        if (Len == 0)
            Len = 256;
        const std::size_t Total = 1 + NumLen + 1 + Len + 2;
        if (FBuf.size() < P + Total)
            break;
        uint8_t Sum = 0;
        for (std::size_t i = P + 1; i < P + 1 + NumLen + 1 + Len; ++i)
            Sum = static_cast<uint8_t>(Sum + static_cast<uint8_t>(FBuf[i]));
        if (static_cast<uint8_t>(FBuf[P + Total - 2]) == Sum && FBuf[P + Total - 1] == '}') {
            Payload = FBuf.substr(P + NumLen + 2, Len);
            FBuf.erase(0, P + Total);
            return true;
        }
        From = P + 1; // a "{" inside something else, or a damaged answer
    }
    if (FBuf.size() > MaxBuffer)
        FBuf.erase(0, FBuf.size() - MaxBuffer);
    return false;
}

bool BlockPuller::AcceptInfo(const std::string& Payload)
{
    FResult.Wide = FWide;
    if (FWide) {
        // Map, CRC (2 bytes), and the hardware id (2 bytes) when the version has one.
        std::size_t MapLen = 0;
        bool HasId = false;
        if (FSet.HardwareId > 0 && Payload.size() >= 5) {
            MapLen = Payload.size() - 4;
            HasId = true;
        } else if (FSet.HardwareId == 0 && Payload.size() >= 20 && (Payload.size() - 4) % 16 == 0) {
            MapLen = Payload.size() - 4; // maps come in whole 16-byte rows; the rest is CRC and id
            HasId = true;
        } else if (FSet.HardwareId == 0 && Payload.size() >= 3) {
            MapLen = Payload.size() - 2;
        } else {
            Finish("info answer of " + std::to_string(Payload.size()) + " bytes is no map, CRC and id");
            return false;
        }
        FResult.Map = Payload.substr(0, MapLen);
        FResult.Crc =
            (static_cast<uint8_t>(Payload[MapLen]) << 8) | static_cast<uint8_t>(Payload[MapLen + 1]);
        if (HasId)
            FResult.HardwareId =
                (static_cast<uint8_t>(Payload[MapLen + 2]) << 8) | static_cast<uint8_t>(Payload[MapLen + 3]);
        if (FSet.HardwareId > 0 && HasId && FResult.HardwareId != (FSet.HardwareId & 0xFFFF)) {
            Finish("firmware is for hardware id " + std::to_string(FResult.HardwareId) + ", this device is " +
                   std::to_string(FSet.HardwareId));
            return false;
        }
    } else {
        FResult.Map = Payload;
        FResult.Crc = -1;
    }
    FList = MappedBlocks(FResult.Map);
    if (FList.empty()) {
        Finish("the map names no block");
        return false;
    }
    const int Highest = FWide ? 0xFFFC : 0xFF;
    for (int n : FList)
        if (n > Highest || (!FWide && n <= NarrowMap)) {
            Finish("block " + std::to_string(n) + " cannot be asked for in this layout");
            return false;
        }
    if (FWide)
        std::reverse(FList.begin(), FList.end()); // the wide layout runs from the top down
    std::string Msg = std::string(FWide ? "wide" : "narrow") + " layout, " + std::to_string(FList.size()) +
                      " blocks, map of " + std::to_string(FResult.Map.size()) + " bytes";
    if (FResult.Crc >= 0)
        Msg += ", CRC-16 " + Hex4(static_cast<unsigned>(FResult.Crc));
    if (Log)
        Log(Msg);
    return true;
}

void BlockPuller::Finish(const std::string& Error)
{
    FResult.Error = Error;
    if (Log)
        Log(Error.empty() ? "firmware complete, asks for the end block" : "firmware refused: " + Error);
    // The end request releases the tool's block feed whatever the outcome.
    if (Send) {
        std::string R = "{";
        if (FWide) {
            R += static_cast<char>(WideEnd >> 8);
            R += static_cast<char>(WideEnd & 0xFF);
        } else {
            R += static_cast<char>(NarrowEnd);
        }
        R += '}';
        Send(R);
    }
    FPhase = Done;
    FDeadline = Clock::time_point::max();
}

void BlockPuller::OnBytes(const std::string& Bytes, Clock::time_point Now)
{
    if (!Active())
        return;
    FBuf += Bytes;
    std::string Payload;
    while (Active()) {
        if (FPhase == Info) {
            if (!TakeAnswer(FWide ? WideInfo : NarrowMap, Payload))
                return;
            if (!AcceptInfo(Payload))
                return;
            FPhase = Data;
            FNext = 0;
            FTries = 0;
            RequestCurrent(Now);
            continue;
        }
        const int Number = FList[FNext];
        if (!TakeAnswer(Number, Payload))
            return;
        FResult.Blocks[Number] = Payload;
        ++FNext;
        FTries = 0;
        const int Percent = static_cast<int>(FNext * 100 / FList.size());
        if (Log && Percent / 10 != FLastPercent / 10) {
            FLastPercent = Percent;
            Log("firmware " + std::to_string(FNext) + " of " + std::to_string(FList.size()) + " blocks");
        }
        if (FNext < FList.size()) {
            RequestCurrent(Now);
            continue;
        }
        if (FResult.Crc >= 0) {
            uint16_t Crc = Crc16Text(0xFFFF, FResult.Map);
            Crc = Crc16Text(Crc, FirmwareBytes(FResult));
            if (Crc != static_cast<uint16_t>(FResult.Crc)) {
                Finish("CRC-16 mismatch: blocks give " + Hex4(Crc) + ", info block says " +
                       Hex4(static_cast<unsigned>(FResult.Crc)));
                return;
            }
        }
        Finish({});
    }
}

void BlockPuller::OnTimer(Clock::time_point Now)
{
    if (!Active() || Now < FDeadline)
        return;
    ++FResult.Retries;
    ++FTries;
    if (FPhase == Info) {
        ++FAttempt;
        if (FSet.Width == BlockWidth::Auto)
            FWide = (FAttempt / 2) % 2 == 0;
        if (FAttempt >= 2 * FSet.MaxTries) {
            Finish("no answer to the map request");
            return;
        }
    } else if (FTries >= FSet.MaxTries) {
        Finish("no answer to the request for block " + std::to_string(FList[FNext]));
        return;
    }
    if (Log)
        Log("no answer, asks again (" +
            std::string(FPhase == Info ? "map" : "block " + std::to_string(FList[FNext])) + ")");
    FBuf.clear();
    RequestCurrent(Now);
}

} // namespace devsim
