// TCX_FrameReader: de-escaping, mode detection, frame assembly and the text to
// show, byte by byte. Frames may be split across any number of reads.
#include "link/CorvexFrameReader.h"

#include "link/CorvexFrames.h"

namespace
{

// A 0x02 seen outside an escape: distinct from every byte value.
constexpr int StartMarker = 0x100;

} // namespace

bool TCX_FrameReader::Take(uint8_t B, TCX_ReaderLine& Line, bool& Consumed, std::string& Shown)
{
    int I = B;

    // De-escaping.
    const bool Stx = Line.ConfigType != cxctCore2;
    if (!Stx) {
        // Cores above 555 escape with 0x5C; the frame parser still sees both bytes,
        // the flag only keeps the escape out of the raw text.
        if (RxEscape)
            RxEscape = false;
        else if (B == CX_CoreEscape && Line.CoreEscape)
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

    if (!RxEscape)
        RxRawText += static_cast<char>(I == StartMarker ? CX_STX : I);

    // Mode choice and auto-detection.
    const bool Detecting = Line.AutoDetect && !Line.Connected;
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
            Line.ConfigType = cxctCore2;
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
            Line.ConfigType = cxctSTX;
            RxIgnore = false;
            RxState = rsAwaitCommand;
        } else {
            RxState = rsHunting;
        }
    }

    // Frame parsing.
    if (Line.ConfigType != cxctCore2 && RxEscape)
        return false;
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
            if (Detecting && RxCmdID == 0x0B && Line.ConfigType != cxctCore2) {
                // The extended unit information settles which STX checksum the unit uses.
                if (I == static_cast<uint8_t>(RxSum + RxCmdID + RxLength))
                    Line.ConfigType = cxctSTXb;
                else if (I == RxSum)
                    Line.ConfigType = cxctSTX;
            }
            if (Line.ConfigType == cxctSTXb)
                RxSum = static_cast<uint8_t>(RxSum + RxCmdID + RxLength);
            if (I == RxSum) {
                Consumed = true;
                if (Line.ConfigType == cxctCore2) {
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
        // With ShowRaw the frame has been shown byte by byte; its last byte too.
        if (Line.ShowRaw)
            Shown += RxRawText;
        RxEscape = false;
        RxRawText.clear();
    }
    return Complete;
}

void TCX_FrameReader::Settle(bool Consumed, bool ShowRaw, std::string& Shown)
{
    // Bytes that belong to no frame are shown. Held bytes are bounded: no frame is
    // longer than 260 values, so anything beyond MaxRawText is shown rather than held.
    if (!Consumed || ShowRaw || RxRawText.size() > MaxRawText) {
        Shown += RxRawText;
        RxRawText.clear();
    }
}

TCX_Frame TCX_FrameReader::Frame() const
{
    TCX_Frame F;
    F.CmdID = RxCmdID;
    F.Payload = RxData;
    F.Ignored = RxIgnore;
    return F;
}

std::string TCX_FrameReader::Read(const std::string& Bytes, TCX_ReaderLine& Line,
                                  std::vector<TCX_Frame>& Frames)
{
    std::string Shown;
    for (const char Ch : Bytes) {
        bool Consumed = false;
        if (Take(static_cast<uint8_t>(Ch), Line, Consumed, Shown))
            Frames.push_back(Frame());
        Settle(Consumed, Line.ShowRaw, Shown);
    }
    return Shown;
}

void TCX_FrameReader::DropHeld()
{
    RxEscape = false;
    RxRawText.clear();
}

void TCX_FrameReader::Hunt()
{
    RxState = rsHunting;
}
