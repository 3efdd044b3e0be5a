#include "firmware/ReceiverImages.h"

#include "util/DeflateText.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

std::string ApplyModuleTypeAliases(const std::string& Version)
{
    return ReplaceAll(ReplaceAll(Version, "MC-GLA", "MC-GG", true), "MT33-1.", "", true);
}

std::string FindAXNImage(const std::vector<std::string>& Images, const std::string& Version)
{
    const std::string Type = GetToken(Version, 2, ',');
    std::string Result;
    for (const std::string& Item : Images)
        if (Item.starts_with("AXN") && GetToken(Item, 2, ',') == Type)
            Result = Item;
    return Result;
}

std::string FindEVAImage(const std::vector<std::string>& Images, const std::string& Version)
{
    if (!Version.ends_with("+F"))
        return {};
    std::string Result;
    for (const std::string& Item : Images)
        if (Item.starts_with("EVA"))
            Result = Item;
    return Result;
}

bool IsReceiverImageName(const std::string& Path)
{
    const std::size_t Dot = Path.rfind('.');
    if (Dot == std::string::npos)
        return false;
    const std::size_t Sep = Path.find_last_of("/\\");
    if (Sep != std::string::npos && Sep > Dot)
        return false;
    return LowerText(Path.substr(Dot)) == ".bin";
}

int UnitChunkSize(uint8_t MaxLength, uint16_t HexType)
{
    int L = MaxLength;
    if (HexType != 0 && HexType != 0xFFFF && MaxLength > 200)
        L = 190;
    return L - 4;
}

std::string GPSzContainer(const std::string& Image, bool Packed)
{
    const std::string Payload = Packed ? DeflateText(Image, true) : Image;
    std::string C = "GPSz";
    C += IntToRawBytes(static_cast<uint32_t>(Payload.size()), 4);
    C += IntToRawBytes(Crc32Words(Payload, 0xFFFFFFFF), 4);
    C += IntToRawBytes(Packed ? static_cast<uint32_t>(Image.size()) : 0, 4);
    C += IntToRawBytes(Packed ? Crc32Words(Image, 0xFFFFFFFF) : 0, 4);
    C += Payload;
    return C;
}

std::vector<std::string> UnitRecords(const std::string& Data, int32_t Address, int ChunkSize)
{
    std::vector<std::string> Records;
    if (ChunkSize <= 0)
        return Records;
    int64_t A = Address;
    for (std::size_t Pos = 0; Pos < Data.size(); Pos += static_cast<std::size_t>(ChunkSize)) {
        const std::string Chunk = Data.substr(Pos, static_cast<std::size_t>(ChunkSize));
        Records.push_back(std::to_string(A) + " " + BytesToHex(Chunk, true));
        A += static_cast<int64_t>(Chunk.size());
    }
    return Records;
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
