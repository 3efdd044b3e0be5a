// TCorvex: the byte receiver. Frames may be split across any number of reads;
// everything that is not a frame is shown as raw text.
#include "firmware/SoftUpdate.h"
#include "link/Corvex2.h"
#include "link/CorvexFire.h"
#include "link/CorvexFrames.h"
#include "serial/AppException.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

#include <QTimer>

namespace
{

// A 0x02 seen outside an escape: distinct from every byte value.
constexpr int StartMarker = 0x100;

} // namespace

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
    RxEscape = false;
    RxRawText.clear();
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

void TCorvex::ProcessReceived(const std::string& Bytes)
{
    std::string Display;
    for (const char Ch : Bytes) {
        const auto B = static_cast<uint8_t>(Ch);
        int I = B;
        bool Consumed = false;
        try {
            // 1. The unit pulling its firmware: "{" number "}" requests.
            if (FSoftware->Active || (FSoftware->IsReady() && !FConnected))
                FeedFirmware(B, Consumed);

            // 2. De-escaping.
            const bool Stx = FConfigType != cxctCore2;
            if (!Stx) {
                // Cores above 555 escape with 0x5C; the frame parser still sees both bytes,
                // the flag only keeps the escape out of the raw text.
                if (RxEscape)
                    RxEscape = false;
                else if (B == CX_CoreEscape && FUnitInfo.CoreNumber > 555)
                    RxEscape = true;
            } else if (B == CX_STX) {
                // A raw 0x02 always starts a frame: this is how the receiver resynchronises.
                I = StartMarker;
                RxState = rsAwaitStart;
                RxEscape = false;
            } else if (RxEscape) {
                RxEscape = false;
                if (B == 0x03 || B == 0x12 || B == 0x14)
                    I = B - 1;
            } else if (B == CX_DLE) {
                RxEscape = true;
                Consumed = true;
            }

            // 3.
            if (!RxEscape)
                RxRawText += static_cast<char>(I == StartMarker ? CX_STX : I);

            // 4. Mode choice and auto-detection.
            const bool Detecting = FConfigTypeAutoDetect && !FConnected;
            if (RxState == rsHunting) {
                if (Detecting) {
                    if (I == CX_Bracket) {
                        RxState = rsDetectBracket;
                        Consumed = true;
                    } else if (I == CX_STX) {
                        RxState = rsDetectAddress;
                        Consumed = true;
                    }
                } else {
                    RxState = Stx ? rsAwaitStart : rsAwaitBracket;
                }
            } else if (RxState == rsDetectBracket) {
                if (I == 0x01 || I == 0x0B) {
                    FConfigType = cxctCore2;
                    RxIgnore = false;
                    RxState = rsAwaitCommand;
                } else {
                    RxState = rsHunting;
                }
            } else if (RxState == rsDetectAddress) {
                if (I == CX_UnitAddress) {
                    RxState = rsDetectCommand;
                    Consumed = true;
                } else {
                    RxState = rsHunting;
                }
            } else if (RxState == rsDetectCommand) {
                if (I == 0x01 || I == 0x0B) {
                    FConfigType = cxctSTX;
                    RxIgnore = false;
                    RxState = rsAwaitCommand;
                } else {
                    RxState = rsHunting;
                }
            }

            // 5. Frame parsing.
            if (!(FConfigType != cxctCore2 && RxEscape)) {
                bool Complete = false;
                switch (RxState) {
                case rsAwaitStart:
                    if (I == StartMarker) {
                        RxState = rsAwaitAddress;
                        Consumed = true;
                    }
                    break;
                case rsAwaitAddress:
                    // Frames of other senders (the echo of our own, address 01) are parsed, then dropped.
                    RxIgnore = I != CX_UnitAddress;
                    RxState = rsAwaitCommand;
                    Consumed = true;
                    break;
                case rsAwaitBracket:
                    if (I == CX_Bracket) {
                        RxIgnore = false;
                        RxState = rsAwaitCommand;
                        Consumed = true;
                    }
                    break;
                case rsAwaitCommand:
                    RxCmdID = static_cast<uint8_t>(I);
                    RxState = rsAwaitLength;
                    Consumed = true;
                    break;
                case rsAwaitLength:
                    RxData.clear();
                    RxLength = static_cast<uint8_t>(I);
                    RxSum = 0;
                    RxState = 0;
                    Consumed = true;
                    break;
                case rsAwaitEnd:
                    if (I == CX_BracketEnd) {
                        Consumed = true;
                        Complete = true;
                    }
                    RxState = rsAwaitBracket;
                    break;
                default:
                    if (RxState >= 0 && RxState < RxLength) {
                        RxData += static_cast<char>(I);
                        RxSum = static_cast<uint8_t>(RxSum + I);
                        ++RxState;
                        Consumed = true;
                    } else if (RxState >= 0) {
                        if (Detecting && RxCmdID == 0x0B && FConfigType != cxctCore2) {
                            // The extended unit information settles which STX checksum the unit uses.
                            if (I == static_cast<uint8_t>(RxSum + RxCmdID + RxLength))
                                FConfigType = cxctSTXb;
                            else if (I == RxSum)
                                FConfigType = cxctSTX;
                        }
                        if (FConfigType == cxctSTXb)
                            RxSum = static_cast<uint8_t>(RxSum + RxCmdID + RxLength);
                        if (I == RxSum) {
                            Consumed = true;
                            if (FConfigType == cxctCore2) {
                                RxState = rsAwaitEnd;
                            } else {
                                Complete = true;
                                RxState = rsHunting;
                            }
                        } else {
                            // Bad checksum: the frame's bytes are shown, the unit is not answered.
                            RxState = rsHunting;
                        }
                    }
                }
                if (Complete) {
                    // With ShowRawRX the frame has been shown byte by byte; its last byte too.
                    if (FShowRawRX)
                        Display += RxRawText;
                    RxEscape = false;
                    RxRawText.clear();
                    if (!RxIgnore)
                        DispatchFrame(RxCmdID, BytesToHex(RxData, true));
                }
            }
        } catch (...) {
            // A failing event handler must not cost the rest of the chunk.
            ApplicationHandleCurrentException();
        }

        // 6. Bytes that belong to no frame are shown. Held bytes are bounded: no frame is
        // longer than 260 values, so anything beyond MaxRawText is shown rather than held.
        if (!Consumed || FShowRawRX || RxRawText.size() > MaxRawText) {
            Display += RxRawText;
            RxRawText.clear();
        }
    }

    // The unit's block requests are not text to show.
    if (FSoftware->Active && !FShowRawRX)
        Display.clear();
    CX_Fire(OnRX, this, ReplaceAll(Display, "_CONFIGB", "", true));
    SignalReceive();
}
