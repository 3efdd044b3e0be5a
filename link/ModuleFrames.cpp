#include "link/ModuleFrames.h"

#include "util/MyFunctions.h"

std::string EscapeModuleFrame(const std::string& Body)
{
    std::string Wire;
    Wire.reserve(Body.size() + 8);
    Wire += '\x3C';
    for (char C : Body) {
        switch (static_cast<uint8_t>(C)) {
        case 0x10:
            Wire += "\x10\x10";
            break;
        case 0x3C:
            Wire += "\x10\x01";
            break;
        case 0x3E:
            Wire += "\x10\x02";
            break;
        default:
            Wire += C;
        }
    }
    Wire += '\x3E';
    return Wire;
}

std::string ModuleCommandBody(uint8_t Cmd, const std::string& Payload)
{
    std::string Body("\x00\x2C", 2);
    Body += static_cast<char>(Cmd);
    Body += Payload;
    Body += static_cast<char>(ByteSum(Body, true));
    return Body;
}

bool ModuleFrameValid(const std::string& Frame, std::string& Content)
{
    if (Frame.size() <= 2)
        return false;
    Content = Frame.substr(0, Frame.size() - 1);
    const uint8_t Check = static_cast<uint8_t>(Frame.back());
    const bool Answer = static_cast<uint8_t>(Content[0]) == 0xFF;
    const int Sum = ByteSum(Answer ? Content.substr(1) : Content, true);
    return Sum == Check;
}

bool IsModuleVersionText(const std::string& Payload)
{
    std::size_t End = Payload.size();
    while (End > 0 && (Payload[End - 1] == '\0' || Payload[End - 1] == '\r' || Payload[End - 1] == '\n'))
        --End;
    for (std::size_t i = 0; i < End; ++i) {
        const auto C = static_cast<uint8_t>(Payload[i]);
        if (C < 0x20 || C == 0x7F)
            return false;
    }
    return true;
}
