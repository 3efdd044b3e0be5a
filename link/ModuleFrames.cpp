#include "link/ModuleFrames.h"

#include "util/DeflateText.h"
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

namespace
{

uint32_t LittleEndian32(const std::string& S, std::size_t Offset)
{
    uint32_t V = 0;
    for (int i = 3; i >= 0; --i)
        V = (V << 8) | static_cast<uint8_t>(S[Offset + i]);
    return V;
}

} // namespace

TMediaTekCheck CheckMediaTekImage(const std::string& Image)
{
    if (Image.size() < MediaTekHeaderSize)
        return TMediaTekCheck::TooShort;
    if (Image.compare(144, 6, "MTKGPS") != 0 || Image.compare(328, 3, "AXN") != 0)
        return TMediaTekCheck::NotMediaTek;
    return TMediaTekCheck::Ok;
}

std::vector<std::string> ModuleTransferBlocks(const std::string& Image)
{
    std::vector<std::string> Blocks;
    const uint32_t Pages =
        static_cast<uint32_t>((static_cast<uint64_t>(LittleEndian32(Image, 244)) + 255) / 256);
    std::string Start = "R";
    Start += static_cast<char>((Pages >> 8) & 0xFF);
    Start += static_cast<char>(Pages & 0xFF);
    Blocks.push_back(Start);

    // The whole image goes out, header included; a last read shorter than a
    // chunk ends the transfer (an image of whole chunks ends without an empty block).
    std::size_t Pos = 0;
    unsigned Index = 0;
    for (;;) {
        const std::string Chunk = Image.substr(Pos, ModuleChunkSize);
        Pos += Chunk.size();
        if (!Chunk.empty()) {
            const std::string Packed = DeflateText(Chunk, true);
            std::string Block;
            if (Chunk.size() < Packed.size())
                Block = std::string("S") + static_cast<char>(Index & 0xFF) + Chunk;
            else
                Block = std::string("T") + static_cast<char>(Index & 0xFF) + Packed;
            Blocks.push_back(std::move(Block));
            ++Index;
        }
        if (Chunk.size() < ModuleChunkSize)
            break;
    }
    return Blocks;
}
