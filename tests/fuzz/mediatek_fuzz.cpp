// Receiver images chosen by the user: the MediaTek header check, and for every
// image it accepts, the module transfer blocks must carry the image exactly.
// Any image, packed into a "GPSz" container and cut into EEPROM write records
// for a tracking unit, must come back unchanged from the records.
#include "FuzzSupport.h"
#include "firmware/ReceiverImages.h"
#include "util/MyConvert.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace
{

std::string RawInflate(const std::string& Packed, size_t Limit = ModuleChunkSize)
{
    z_stream Z{};
    FUZZ_CHECK(inflateInit2(&Z, -15) == Z_OK);
    std::string Out(Limit + 1, '\0');
    Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Packed.data()));
    Z.avail_in = static_cast<uInt>(Packed.size());
    Z.next_out = reinterpret_cast<Bytef*>(Out.data());
    Z.avail_out = static_cast<uInt>(Out.size());
    const int R = inflate(&Z, Z_FINISH);
    FUZZ_CHECK(R == Z_STREAM_END);
    Out.resize(Z.total_out);
    inflateEnd(&Z);
    return Out;
}

uint32_t LittleEndian(const std::string& S, size_t At)
{
    uint32_t V = 0;
    for (int i = 3; i >= 0; --i)
        V = V << 8 | static_cast<uint8_t>(S[At + i]);
    return V;
}

// The unit's side: records "address hex-bytes" written one after the other.
void CheckRecords(const std::string& Data, int32_t Address, int ChunkSize)
{
    const std::vector<std::string> Records = UnitRecords(Data, Address, ChunkSize);
    if (ChunkSize <= 0) {
        FUZZ_CHECK(Records.empty());
        return;
    }
    FUZZ_CHECK(Records.size() == (Data.size() + ChunkSize - 1) / ChunkSize);
    std::string Written;
    int64_t Next = Address;
    for (const std::string& R : Records) {
        const size_t Blank = R.find(' ');
        FUZZ_CHECK(Blank != std::string::npos);
        FUZZ_CHECK(R.substr(0, Blank) == std::to_string(Next));
        const std::string Bytes = HexToBytes(R.substr(Blank + 1), true);
        FUZZ_CHECK(!Bytes.empty() && Bytes.size() <= static_cast<size_t>(ChunkSize));
        Written += Bytes;
        Next += static_cast<int64_t>(Bytes.size());
    }
    FUZZ_CHECK(Written == Data);
}

void CheckContainer(const std::string& Image, bool Packed)
{
    const std::string C = GPSzContainer(Image, Packed);
    FUZZ_CHECK(C.size() >= 20 && C.compare(0, 4, "GPSz") == 0);
    const std::string Payload = C.substr(20);
    FUZZ_CHECK(LittleEndian(C, 4) == Payload.size());
    if (Packed) {
        FUZZ_CHECK(LittleEndian(C, 12) == Image.size());
        FUZZ_CHECK(RawInflate(Payload, Image.size()) == Image);
    } else {
        FUZZ_CHECK(LittleEndian(C, 12) == 0 && LittleEndian(C, 16) == 0 && Payload == Image);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string Image(reinterpret_cast<const char*>(Data), Size);
    if (Size > 0) {
        CheckContainer(Image, Data[0] & 1);
        CheckRecords(Image, static_cast<int32_t>(Data[0]) << 12, UnitChunkSize(Data[Size - 1], Data[0] & 2));
    }
    const TMediaTekCheck Check = CheckMediaTekImage(Image);
    if (Size < MediaTekHeaderSize)
        FUZZ_CHECK(Check == TMediaTekCheck::TooShort);
    if (Check != TMediaTekCheck::Ok)
        return 0;
    FUZZ_CHECK(Image.compare(144, 6, "MTKGPS") == 0 && Image.compare(328, 3, "AXN") == 0);

    const std::vector<std::string> Blocks = ModuleTransferBlocks(Image);
    FUZZ_CHECK(Blocks.size() >= 2 && Blocks[0].size() == 3 && Blocks[0][0] == 'R');
    uint32_t Length = 0;
    for (int i = 3; i >= 0; --i)
        Length = Length << 8 | static_cast<uint8_t>(Image[244 + i]);
    const uint32_t Pages = static_cast<uint32_t>((uint64_t{Length} + 255) / 256);
    FUZZ_CHECK(static_cast<uint8_t>(Blocks[0][1]) == ((Pages >> 8) & 0xFF) &&
               static_cast<uint8_t>(Blocks[0][2]) == (Pages & 0xFF));
    std::string Carried;
    for (size_t i = 1; i < Blocks.size(); ++i) {
        const std::string& B = Blocks[i];
        FUZZ_CHECK(B.size() >= 3 && static_cast<uint8_t>(B[1]) == ((i - 1) & 0xFF));
        std::string Chunk;
        if (B[0] == 'S') {
            Chunk = B.substr(2);
        } else {
            FUZZ_CHECK(B[0] == 'T');
            Chunk = RawInflate(B.substr(2));
            // Packed only when that is not longer.
            FUZZ_CHECK(B.size() - 2 <= Chunk.size());
        }
        FUZZ_CHECK(Chunk.size() <= ModuleChunkSize && !Chunk.empty());
        if (i + 1 < Blocks.size())
            FUZZ_CHECK(Chunk.size() == ModuleChunkSize);
        Carried += Chunk;
    }
    FUZZ_CHECK(Carried == Image);
    return 0;
}
