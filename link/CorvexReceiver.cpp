// TCorvex: the receiving side. Bytes from the own port or from the caller
// (ExternalCom) go, one at a time, first to the firmware block feed while the
// unit pulls its firmware, then to the frame reader; complete frames go to
// DispatchFrame (CorvexDispatch.cpp) and the text to show to OnRX.
#include "firmware/SoftUpdate.h"
#include "link/Corvex2.h"
#include "link/CorvexFire.h"
#include "serial/AppException.h"
#include "serial/ComPort.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

void TCorvex::ExternalComRx(const std::string& Data)
{
    if (FExternalCom)
        ProcessReceived(Data);
}

void TCorvex::DataReceived()
{
    const std::string Bytes = FPort->ReadString();
    // A notification whose bytes an earlier read already took brings nothing.
    if (!FExternalCom && !Bytes.empty())
        ProcessReceived(Bytes);
}

void TCorvex::FeedFirmware(uint8_t B, bool& Consumed)
{
    const int Result = FSoftware->ParseChar(B);
    if (Result > 0)
        Consumed = true;
    if (Result != 2)
        return;
    std::string Reply;
    FSoftware->BuildReply(Reply);
    if (!Reply.empty()) {
        TransmitRaw(Reply);
        SignalTransmit();
    }
    FReader.DropHeld();
    // The unit is busy with its own update: no keep-alive or wake-up may cut in.
    StopLinkTimer();
    if (FSoftware->Active) {
        CX_Fire(OnSoftwareUpdate, this, FSoftware->LastServed, static_cast<int32_t>(FSoftware->Progress()));
    } else {
        // The unit asked for the end block: it restarts on the new firmware.
        CX_Fire(OnSoftwareUpdateComplete, this);
        Open();
    }
}

TCX_ReaderLine TCorvex::ReaderLine() const
{
    TCX_ReaderLine Line;
    Line.ConfigType = FConfigType;
    Line.AutoDetect = FConfigTypeAutoDetect;
    Line.Connected = FConnected;
    Line.CoreEscape = FUnitInfo.CoreNumber > 555;
    Line.ShowRaw = FShowRawRX;
    return Line;
}

void TCorvex::ProcessReceived(const std::string& Bytes)
{
    std::string Display;
    for (const char Ch : Bytes) {
        const auto B = static_cast<uint8_t>(Ch);
        bool Consumed = false;
        try {
            // The unit pulling its firmware: "{" number "}" requests. A served request
            // may reopen the link, so the reader learns the link's state only after it.
            if (FSoftware->Active || (FSoftware->IsReady() && !FConnected))
                FeedFirmware(B, Consumed);

            TCX_ReaderLine Line = ReaderLine();
            const bool Complete = FReader.Take(B, Line, Consumed, Display);
            FConfigType = Line.ConfigType;
            if (Complete) {
                const TCX_Frame Frame = FReader.Frame();
                if (!Frame.Ignored)
                    DispatchFrame(Frame.CmdID, BytesToHex(Frame.Payload, true));
            }
        } catch (...) {
            // A failing event handler must not cost the rest of the chunk.
            ApplicationHandleCurrentException();
        }
        // A handler may have switched ShowRawRX: the reader sees the new value.
        FReader.Settle(Consumed, FShowRawRX, Display);
    }

    // The unit's block requests are not text to show.
    if (FSoftware->Active && !FShowRawRX)
        Display.clear();
    CX_Fire(OnRX, this, ReplaceAll(Display, "_CONFIGB", "", true));
    SignalReceive();
}
