#pragma once
// TModuleLink: the link to a stand-alone External GPS module over its own
// serial port (cCom1). It frames and escapes commands, reads the module's
// frames, pairs answers with the question asked, tells status frames from
// our own echo, writes the raw acknowledgement, and serves the controller's
// own firmware blocks from the block feed. It decides nothing about an
// update: it reports what the module said through its events, and its owner
// asks the next question. Everything runs on the Qt main thread; events are
// called synchronously and may send commands. Frames and commands:
// docs/module-protocol.md.
#include "link/Indicators.h"
#include "link/ModuleFrameReader.h"
#include "serial/ComPort.h"

#include <cstdint>
#include <functional>
#include <string>

class TSoftwareUpdate;
class TModuleLink;

// The module's answer to identify (command 01).
struct TModuleIdentity {
    std::string UnitID; // four bytes as hex text, not spaced
    double Version = 0; // controller firmware: major + minor / 100
    std::string Class;  // the rest of the answer: the module's name
};

// A status frame from the module (address 00 2C) that is not our own
// command coming back.
enum class TModuleStatus {
    Ready,    // "R" 01: the receiver takes blocks
    Accepted, // "S"/"T" with 01 or FF: the block was taken
    Refused,  // "S"/"T" with 02: refused, or programming ended
    Other,
};

// What the bytes of a read are, besides frames; set by the owner as its
// update moves on.
enum class TModuleReceive {
    Listen,     // every byte also goes to the block feed; a request it serves starts a controller update
                // (a feed without firmware recognises requests and serves none)
    Preparing,  // each "." is a sign of the receiver preparing a transfer
    Frames,     // frames only
    Controller, // the controller updates itself: every byte goes to the block feed, none is a frame
};

class TModuleLink
{
  public:
    TModuleLink();
    TModuleLink(const TModuleLink&) = delete;
    TModuleLink& operator=(const TModuleLink&) = delete;

    // ---- Events (an empty function is skipped) ----
    std::function<void(TModuleLink* Sender, const TModuleIdentity& Identity)> OnIdentity;
    // The answer to "Q": the receiver's version text (never empty).
    std::function<void(TModuleLink* Sender, const std::string& Version)> OnReceiverVersion;
    // The answer to a transfer start ("R"): the module prepares the receiver.
    std::function<void(TModuleLink* Sender)> OnReceiverReady;
    std::function<void(TModuleLink* Sender, TModuleStatus Status)> OnStatus;
    std::function<void(TModuleLink* Sender)> OnDot;
    // A block request that came by itself ("{" number "}" while listening): the
    // controller's loader runs and asks for its firmware. Fired before the
    // request is served, also when the block feed holds nothing to serve.
    std::function<void(TModuleLink* Sender, int32_t Block)> OnLoaderRequest;
    // A block request that came by itself was served: the controller updates itself.
    std::function<void(TModuleLink* Sender)> OnControllerStarted;
    // After each byte of a controller update: whether the feed still runs, and its progress in percent.
    std::function<void(TModuleLink* Sender, bool Active, double Percent)> OnControllerProgress;
    // Each block served to the controller's loader, by its number (the feed's LastServed).
    std::function<void(TModuleLink* Sender, int32_t Block)> OnControllerBlock;
    // Every frame, for traces: Outgoing = the wire bytes written (commands,
    // raw acknowledgements, controller blocks); incoming = the content of
    // each frame received, unescaped, checksum included (in a controller
    // update the bytes of each read, which are not framed).
    std::function<void(TModuleLink* Sender, bool Outgoing, const std::string& Bytes)> OnFrame;

    // ---- Settings ----
    TComPort& Port() { return cCom1; }
    const TComPort& Port() const { return cCom1; }
    // The block feed that serves the controller's requests; not owned, may be null.
    void SetBlockFeed(TSoftwareUpdate* Feed) { FBlockFeed = Feed; }
    void SetReceive(TModuleReceive Value) { FReceive = Value; }
    TModuleReceive Receive() const { return FReceive; }
    // Lamps flashed for transmission and reception; not owned, may be null.
    void SetLamps(TCX_Lamp* Tx, TCX_Lamp* Rx);

    // ---- Commands ----
    void SendModuleCommand(uint8_t Cmd, const std::string& Payload);
    void SendModuleIdentify();
    void SendStartControllerUpdate();
    // Command FA: Text goes to the receiver ("Q", or a transfer block).
    void SendToGPS(const std::string& Text);
    // Written unescaped after each accepted transfer status.
    void SendAcknowledge();

    // ---- Reception ----
    // Reads what the port holds and handles it byte by byte.
    void DataReceived();
    // Handles Bytes as if read from the port.
    void Received(const std::string& Bytes);
    // A new connection: a frame under way is abandoned.
    void Restart() { FReader.Abandon(); }

    // ---- Inspection ----
    uint8_t PendingCmd() const { return FPendingCmd; }
    char LastGPSCmd() const { return FLastGPSCmd; }
    // Every byte written to the module since the link was made.
    uint64_t BytesSent() const { return FBytesSent; }

  private:
    void Write(const std::string& Bytes);
    void HandleUnread(bool FromPort);
    void HandleByte(uint8_t Ch, std::string& Unframed);
    void TraceUnframed(std::string& Unframed);
    void ModuleRxByte(uint8_t Ch);
    void HandleModuleFrame(const std::string& Content);
    // False when the answer cannot be the pending command's (answers name no
    // command: a late answer to an earlier question looks the same).
    bool HandleModuleAnswer(uint8_t Cmd, const std::string& Payload);
    void FlashTx();
    void FlashRx();

    TComPort cCom1;
    TModuleFrameReader FReader;
    TSoftwareUpdate* FBlockFeed = nullptr;
    TModuleReceive FReceive = TModuleReceive::Listen;
    TCX_Lamp* FTx = nullptr;
    TCX_Lamp* FRx = nullptr;
    uint8_t FPendingCmd = 0;
    unsigned FCommandsSent = 0; // to tell a new pending command from the old
    char FLastGPSCmd = 0;
    uint64_t FBytesSent = 0;
    // A read not yet handled to its end (a handler raised an exception).
    std::string FUnread;
    std::size_t FUnreadAt = 0;
};
