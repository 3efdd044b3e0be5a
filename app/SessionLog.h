#pragma once
// What an update session tells logs: every frame to and from its device, and
// notes for a maintainer (lines beginning "# "). Notes traced before anybody
// listens (the firmware is opened while the session is made) are held, a few,
// for the first listener.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TUpdateSession;

class TSessionLog
{
  public:
    explicit TSessionLog(TUpdateSession* Owner) : FOwner(Owner) {}

    // Every unit frame sent (Outgoing) and every good one received: its command and payload as spaced hex.
    std::function<void(TUpdateSession* Sender, bool Outgoing, uint8_t Cmd, const std::string& Data)>
        OnUnitFrame;
    // Every module frame: Outgoing = the wire bytes written; incoming = the
    // content of each frame received, unescaped, checksum included (in state 5
    // the bytes of each reception, which are not framed).
    std::function<void(TUpdateSession* Sender, bool Outgoing, const std::string& Bytes)> OnModuleFrame;
    // The trace: a line per frame ("TX unit 0B ...", "RX module 00 2C ...") and the notes.
    std::function<void(TUpdateSession* Sender, const std::string& Line)> OnTrace;
    // Sets OnTrace and hands it first the notes held while there was none.
    void SetTrace(std::function<void(TUpdateSession* Sender, const std::string& Line)> Trace);

    void UnitFrame(bool Outgoing, uint8_t Cmd, const std::string& Data);
    void ModuleFrame(bool Outgoing, const std::string& Bytes);
    void Trace(const std::string& Line);

  private:
    TUpdateSession* FOwner;
    std::vector<std::string> FHeld;
};
