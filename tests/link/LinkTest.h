#pragma once
// Shared pieces of the link tests: byte helpers, unit frames and a scripted
// unit on the master side of a real pty.
#include "link/Corvex2.h"

#include <QElapsedTimer>

#include <cstdint>
#include <string>
#include <vector>

// "02 01 FF" -> bytes
std::string Bytes(const std::string& Hex);
// bytes -> "02 01 FF"
std::string Hex(const std::string& Raw);
// A frame as the unit sends it (address 04).
std::string UnitFrame(TCX_ConfigType Mode, uint8_t CmdID, const std::string& Payload);
// The 12-byte unit information: UnitID 12345, type 0102, version 2.31, core 5.45, MaxLength 100.
std::string ShortUnitInfo();

// The unit's end of a serial line: the master side of a pty that the tool
// opens as COM<n> through VELTRAC_COM_DIR. A keeper descriptor on the slave
// holds the line raw and stops the master from seeing hang-ups when the tool
// closes its end.
class TUnitPeer
{
  public:
    explicit TUnitPeer(int ComNumber);
    ~TUnitPeer();
    TUnitPeer(const TUnitPeer&) = delete;
    TUnitPeer& operator=(const TUnitPeer&) = delete;

    // Reads what the tool sent since the last call (also appended to Received).
    std::string Poll();
    void Write(const std::string& Bytes);
    // Line speed the tool set, in bit/s.
    uint32_t Speed() const;
    // The unit is unplugged (the tool's end sees a hang-up), then plugged in
    // again on a new pty behind the same number.
    void HangUp();
    void Replug();

    struct TWakeUp {
        qint64 At;         // ms since construction
        std::string Bytes; // everything up to and including "_CONFIGB\r"
    };
    // Wake-ups seen so far; Poll() collects them.
    std::vector<TWakeUp> WakeUps;
    std::string Received;
    QElapsedTimer Clock;

  private:
    void PlugIn();
    int FComNumber;
    int FMaster = -1;
    int FKeeper = -1;
    std::string FDir;
    std::string FPending; // bytes since the last complete wake-up
};
