#include "link/ModuleLink.h"

#include "firmware/SoftUpdate.h"
#include "link/ModuleFrames.h"
#include "util/MyConvert.h"

namespace
{

// Status payloads after the address 00 2C.
TModuleStatus StatusOf(const std::string& Payload)
{
    if (Payload.size() != 2)
        return TModuleStatus::Other;
    const char Kind = Payload[0];
    const auto Code = static_cast<uint8_t>(Payload[1]);
    if (Kind == 'R')
        return Code == 0x01 ? TModuleStatus::Ready : TModuleStatus::Other;
    if (Kind != 'S' && Kind != 'T')
        return TModuleStatus::Other;
    if (Code == 0x01 || Code == 0xFF)
        return TModuleStatus::Accepted;
    return Code == 0x02 ? TModuleStatus::Refused : TModuleStatus::Other;
}

template <typename F, typename... A> void Fire(const F& Event, A&&... Args)
{
    if (Event)
        Event(std::forward<A>(Args)...);
}

} // namespace

TModuleLink::TModuleLink()
{
    cCom1.SetName("cCom1");
    cCom1.SetBaudRate(br9600);
    cCom1.SetOutBufSize(4096);
}

void TModuleLink::SetLamps(TCX_Lamp* Tx, TCX_Lamp* Rx)
{
    FTx = Tx;
    FRx = Rx;
}

void TModuleLink::FlashTx()
{
    if (FTx)
        FTx->Trigger();
}

void TModuleLink::FlashRx()
{
    if (FRx)
        FRx->Trigger();
}

// ---------------------------------------------------------------- sending

void TModuleLink::Write(const std::string& Bytes)
{
    Fire(OnFrame, this, true, Bytes);
    FBytesSent += Bytes.size();
    cCom1.WriteString(Bytes);
}

void TModuleLink::SendModuleCommand(uint8_t Cmd, const std::string& Payload)
{
    FPendingCmd = Cmd;
    ++FCommandsSent;
    FlashTx();
    Write(EscapeModuleFrame(ModuleCommandBody(Cmd, Payload)));
}

void TModuleLink::SendModuleIdentify()
{
    SendModuleCommand(ModuleCmdIdentify, std::string(1, static_cast<char>(ModuleCmdArgument)));
}

void TModuleLink::SendStartControllerUpdate()
{
    SendModuleCommand(ModuleCmdStartUpdate, std::string(1, static_cast<char>(ModuleCmdArgument)));
}

void TModuleLink::SendToGPS(const std::string& Text)
{
    FLastGPSCmd = Text.empty() ? 0 : Text[0];
    SendModuleCommand(ModuleCmdReceiver, Text);
}

void TModuleLink::SendAcknowledge()
{
    Write(ModuleRawAck);
}

// ---------------------------------------------------------------- receiving

void TModuleLink::DataReceived()
{
    FlashRx();
    for (;;) {
        if (FUnreadAt >= FUnread.size()) {
            if (!cCom1.Active() || cCom1.InBufUsed() <= 0)
                break;
            FUnread = cCom1.ReadString();
            FUnreadAt = 0;
            if (FUnread.empty())
                break;
        }
        HandleUnread(true);
    }
}

void TModuleLink::Received(const std::string& Bytes)
{
    FUnread.append(Bytes);
    HandleUnread(false);
}

// Byte by byte, as each one may change what the next one is (a status that
// ends the transfer, a request that starts a controller update). A handler
// that raises leaves the rest of the read for the next call; a handler that
// closes the port drops it.
void TModuleLink::HandleUnread(bool FromPort)
{
    std::string Unframed;
    try {
        while (FUnreadAt < FUnread.size()) {
            if (FromPort && !cCom1.Active()) {
                FUnreadAt = FUnread.size();
                break;
            }
            HandleByte(static_cast<uint8_t>(FUnread[FUnreadAt++]), Unframed);
        }
    } catch (...) {
        TraceUnframed(Unframed);
        throw;
    }
    TraceUnframed(Unframed);
    FUnread.clear();
    FUnreadAt = 0;
}

void TModuleLink::TraceUnframed(std::string& Unframed)
{
    if (!Unframed.empty())
        Fire(OnFrame, this, false, Unframed);
    Unframed.clear();
}

void TModuleLink::HandleByte(uint8_t Ch, std::string& Unframed)
{
    std::string Reply;
    if (FReceive == TModuleReceive::Controller) {
        // The controller's loader asks for its blocks: nothing here is a frame.
        Unframed += static_cast<char>(Ch);
        if (FBlockFeed)
            FBlockFeed->ProcessChar(Ch, Reply);
        if (!Reply.empty()) {
            FlashTx();
            Write(Reply);
            Fire(OnControllerBlock, this, FBlockFeed->LastServed);
        }
        const bool Active = FBlockFeed && FBlockFeed->Active;
        if (!Active)
            TraceUnframed(Unframed);
        Fire(OnControllerProgress, this, Active, Active ? FBlockFeed->Progress() : 0.0);
        return;
    }
    if (Ch == 0x2E && FReceive == TModuleReceive::Preparing)
        Fire(OnDot, this);
    if (FReceive == TModuleReceive::Listen && FBlockFeed && FBlockFeed->ParseChar(Ch) == 2) {
        // A controller that asks for firmware blocks by itself is served at once.
        Fire(OnLoaderRequest, this, FBlockFeed->Requested);
        FBlockFeed->BuildReply(Reply);
        if (!Reply.empty()) {
            FlashTx();
            Write(Reply);
            FReceive = TModuleReceive::Controller;
            Fire(OnControllerStarted, this);
            Fire(OnControllerBlock, this, FBlockFeed->LastServed);
        }
    }
    ModuleRxByte(Ch);
}

void TModuleLink::ModuleRxByte(uint8_t Ch)
{
    if (!FReader.Feed(Ch))
        return;
    Fire(OnFrame, this, false, FReader.Frame());
    std::string Content;
    if (ModuleFrameValid(FReader.Frame(), Content))
        HandleModuleFrame(Content);
}

void TModuleLink::HandleModuleFrame(const std::string& Content)
{
    if (Content.empty())
        return;
    const bool Answer = static_cast<uint8_t>(Content[0]) == 0xFF;
    if (!Answer && Content.size() < 2)
        return;
    const int Address =
        Answer ? 0xFFFF : static_cast<uint8_t>(Content[0]) * 256 + static_cast<uint8_t>(Content[1]);
    const std::string Payload = Content.substr(Answer ? 1 : 2);
    if (Address == 0xFFFF && FPendingCmd != 0) {
        const unsigned Sent = FCommandsSent;
        // A stray answer leaves the command pending: its own may still come.
        // The answer may also have sent the next command ("Q" after identify,
        // "R" after "Q"); that one is pending now, and its answer must not be lost.
        if (HandleModuleAnswer(FPendingCmd, Payload) && FCommandsSent == Sent)
            FPendingCmd = 0;
    } else if (Address == 0x002C) {
        if (!Payload.empty() && static_cast<uint8_t>(Payload[0]) == FPendingCmd) {
            // Our own command coming back.
        } else {
            Fire(OnStatus, this, StatusOf(Payload));
        }
    } else {
        FPendingCmd = 0;
    }
    FlashRx();
}

bool TModuleLink::HandleModuleAnswer(uint8_t Cmd, const std::string& Payload)
{
    if (Cmd == ModuleCmdIdentify) {
        if (Payload.size() < 7)
            return true; // asked again by the owner's timer
        TModuleIdentity Identity;
        Identity.UnitID = BytesToHex(Payload.substr(0, 4), false);
        Identity.Version = static_cast<uint8_t>(Payload[4]) + static_cast<uint8_t>(Payload[5]) / 100.0;
        Identity.Class = Payload.substr(6);
        Fire(OnIdentity, this, Identity);
    } else if (Cmd == ModuleCmdReceiver) {
        if (FLastGPSCmd == 'Q') {
            // The receiver's version is text; a late identify answer (binary
            // version bytes) is not. A receiver that is busy (programming) or
            // cannot report answers nothing: that is no version, and the
            // question is asked again.
            if (!IsModuleVersionText(Payload))
                return false;
            if (!Payload.empty())
                Fire(OnReceiverVersion, this, Payload);
        } else if (FLastGPSCmd == 'R') {
            // Only the module's "R" itself: a late answer to an earlier
            // question must not start the transfer.
            if (Payload != "R")
                return false;
            Fire(OnReceiverReady, this);
        }
    }
    return true;
}
