#include "link/CorvexFrames.h"

void CX_EscapeByte(std::string& Frame, uint8_t B)
{
    switch (B) {
    case 0x02:
    case 0x11: // XON and XOFF must never appear raw: the unit's UART may run software flow control
    case 0x13:
        Frame += static_cast<char>(CX_DLE);
        Frame += static_cast<char>(B + 1);
        break;
    case CX_DLE:
        Frame += static_cast<char>(CX_DLE);
        Frame += static_cast<char>(CX_DLE);
        break;
    default:
        Frame += static_cast<char>(B);
    }
}

std::string CX_BuildFrame(TCX_ConfigType Mode, uint8_t CmdID, const std::string& Payload)
{
    const auto Len = static_cast<uint8_t>(Payload.size());
    uint8_t Sum = 0;
    for (char C : Payload)
        Sum = static_cast<uint8_t>(Sum + static_cast<uint8_t>(C));

    std::string Frame;
    Frame.reserve(6 + 2 * Payload.size());
    if (Mode == cxctCore2) {
        // Bracketed frames are never escaped.
        Frame += static_cast<char>(CX_Bracket);
        Frame += static_cast<char>(CmdID);
        Frame += static_cast<char>(Len);
        Frame += Payload;
        Frame += static_cast<char>(Sum);
        Frame += static_cast<char>(CX_BracketEnd);
        return Frame;
    }
    if (Mode == cxctSTXb)
        Sum = static_cast<uint8_t>(Sum + CmdID + Len);
    Frame += static_cast<char>(CX_STX);
    Frame += static_cast<char>(CX_HostAddress);
    CX_EscapeByte(Frame, CmdID);
    CX_EscapeByte(Frame, Len);
    for (char C : Payload)
        CX_EscapeByte(Frame, static_cast<uint8_t>(C));
    CX_EscapeByte(Frame, Sum);
    return Frame;
}
