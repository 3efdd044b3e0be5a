#pragma once
// The device side of the block-request protocol: a device that reprograms itself
// asks for its firmware with "{" number "}" requests and checks the framed
// answers "{" number length payload sum "}".
//
// Wide layout (16-bit numbers): "{" FF FD "}" asks for map, CRC-16 and hardware
// id; data blocks are asked from the highest number down; "{" FF FF "}" ends.
// Narrow layout (8-bit numbers): "{" 01 "}" asks for the 32-byte map (no CRC);
// blocks are asked from the lowest up; "{" 00 "}" ends.
// Only blocks named by map bytes 2 and on are asked for: the first two map bytes
// lie outside the checksum (in a double map, 07 E3, they are its marker).
#include "tools/devsim/SimDevice.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace devsim
{

enum class BlockWidth { Auto, Narrow, Wide };

struct PulledFirmware {
    bool Wide = false;
    std::string Map;
    int32_t Crc = -1; // from the wide info answer; -1 in the narrow layout, which sends none
    uint32_t HardwareId = 0;
    std::map<int, std::string> Blocks;
    int Retries = 0;   // requests sent again after a time-out or a bad answer
    std::string Error; // empty when everything checked out
};

// Bytes of the firmware in block order (map bytes 2 and on), as the CRC-16 covers them.
std::string FirmwareBytes(const PulledFirmware& F);

class BlockPuller
{
  public:
    struct Settings {
        BlockWidth Width = BlockWidth::Auto; // Auto tries wide, then narrow, in turns
        uint32_t HardwareId = 0;             // above 0: the info answer must carry this id
        int TimeoutMs = 1500;                // per request
        int MaxTries = 8;                    // per request, before the device gives up
    };

    std::function<void(const std::string&)> Send;
    std::function<void(const std::string&)> Log;

    void Start(const Settings& S, Clock::time_point Now);
    void Abort();
    bool Active() const { return FPhase == Info || FPhase == Data; }
    bool Finished() const { return FPhase == Done; }
    const PulledFirmware& Result() const { return FResult; }
    int BlocksTotal() const { return static_cast<int>(FList.size()); }
    int BlocksDone() const { return static_cast<int>(FNext); }

    void OnBytes(const std::string& Bytes, Clock::time_point Now);
    void OnTimer(Clock::time_point Now);
    Clock::time_point NextTimer() const { return Active() ? FDeadline : Clock::time_point::max(); }

  private:
    enum Phase { Idle, Info, Data, Done };

    void Request(int Number, Clock::time_point Now);
    void RequestCurrent(Clock::time_point Now);
    // Looks for the answer to Number in the buffer; true with the payload when found.
    bool TakeAnswer(int Number, std::string& Payload);
    bool AcceptInfo(const std::string& Payload);
    void Finish(const std::string& Error);

    Settings FSet;
    Phase FPhase = Idle;
    int FAttempt = 0; // of the info request, for the Auto width
    int FTries = 0;
    bool FWide = true;
    std::string FBuf;
    std::vector<int> FList;
    std::size_t FNext = 0;
    int FLastPercent = -1;
    Clock::time_point FDeadline = Clock::time_point::max();
    PulledFirmware FResult;
};

} // namespace devsim
