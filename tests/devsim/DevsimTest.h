#pragma once
// The tool's side of a simulated device's pty, as the tests play it: open the
// slave, set the line speed, write bytes, collect what comes back. Frame
// builders and parsers here are written from the protocol tables, independent
// of the simulator's own code.
#include "tests/common/TestBytes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class ToolPort
{
  public:
    explicit ToolPort(const std::string& Path, unsigned Rate = 9600);
    ~ToolPort();
    ToolPort(const ToolPort&) = delete;
    ToolPort& operator=(const ToolPort&) = delete;

    bool Ok() const { return FFd >= 0; }
    void SetRate(unsigned Rate); // 9600, 19200, 38400, 57600 or 115200
    void Write(const std::string& Bytes);
    // Everything received, appended to Buffer, until Done(Buffer) holds or TimeoutMs pass.
    bool ReadUntil(const std::function<bool(const std::string&)>& Done, int TimeoutMs);
    // Everything that arrives within Ms.
    std::string ReadFor(int Ms);
    // True when the other side has hung up (read gives EOF or EIO).
    bool HungUp();
    void Close();

    std::string Buffer;

  private:
    int FFd = -1;
};

// Tracking-unit frames, STX with checksum over command, length and payload.
struct UnitFrame {
    uint8_t Address = 0;
    uint8_t Cmd = 0;
    std::string Payload;
};
std::string ToolFrame(uint8_t Cmd, const std::string& Payload); // address 01
// Good frames found in Bytes (raw text and bad frames skipped).
std::vector<UnitFrame> ParseUnitFrames(const std::string& Bytes);
// True once Bytes holds a good frame with Cmd (from the unit).
bool HasUnitFrame(const std::string& Bytes, uint8_t Cmd, std::size_t Count = 1);
std::vector<UnitFrame> FramesOf(const std::string& Bytes, uint8_t Cmd);

// External GPS module frames.
std::string ModuleCommand(uint8_t Cmd, const std::string& Payload);
struct ModuleFrame {
    bool Answer = false; // FF first: answer, else status from address 00 2C
    std::string Payload;
};
std::vector<ModuleFrame> ParseModuleFrames(const std::string& Bytes);

// The tool's half of the block-request protocol: answers every complete request in
// Received from the given map and blocks, as the tool's block feed does.
struct FirmwareServer {
    bool Wide = true;
    std::string Map;
    uint16_t Crc = 0;
    uint16_t HardwareId = 0;
    std::vector<std::string> Blocks; // by block number; missing ones answer 256 x FF
    std::vector<int> Requests;       // every request seen, in order
    bool Ended = false;
    std::string Pending;

    std::string Feed(const std::string& Received);
    std::string Frame(int Number, const std::string& Payload) const;
    std::string Block(int Number) const;
};
// CRC-16 over map and mapped blocks from map byte 2 on, as versions carry it.
uint16_t FirmwareCrc(const std::string& Map, const std::vector<std::string>& Blocks);

// A fresh folder under /tmp for comN links, removed with its contents at destruction.
class TempFolder
{
  public:
    TempFolder();
    ~TempFolder();
    const std::string& Path() const { return FPath; }

  private:
    std::string FPath;
};
