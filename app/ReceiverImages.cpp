#include "app/ReceiverImages.h"

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
