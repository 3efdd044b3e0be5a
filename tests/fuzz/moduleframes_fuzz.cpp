// The External GPS module's frame reader, driven directly: any bytes leave it
// bounded and sane, and a command built and escaped comes out of it whole,
// however the line splits it and whatever noise came before.
#include "FuzzSupport.h"
#include "link/ModuleFrameReader.h"
#include "link/ModuleFrames.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace
{

std::vector<std::string> Read(TModuleFrameReader& R, const std::string& Bytes)
{
    std::vector<std::string> Frames;
    for (const char C : Bytes) {
        if (R.Feed(static_cast<uint8_t>(C)))
            Frames.push_back(R.Frame());
        FUZZ_CHECK(R.Frame().size() <= TModuleFrameReader::MaxFrame + 1);
    }
    return Frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string In(reinterpret_cast<const char*>(Data), Size);

    // Arbitrary line bytes: no frame read is longer than the reader holds.
    TModuleFrameReader Noise;
    for (const std::string& F : Read(Noise, In))
        FUZZ_CHECK(F.size() <= TModuleFrameReader::MaxFrame);
    std::string Content;
    if (ModuleFrameValid(In, Content))
        FUZZ_CHECK(Content.size() + 1 == In.size() && In.compare(0, Content.size(), Content) == 0);

    if (Size == 0)
        return 0;
    const uint8_t Cmd = Data[0];
    const std::string Payload = In.substr(1);
    const std::string Body = ModuleCommandBody(Cmd, Payload);
    FUZZ_CHECK(Body.size() == Payload.size() + 4 && Body[0] == 0 && Body[1] == 0x2C);
    const std::string Wire = EscapeModuleFrame(Body);

    // After the noise (which may have left a frame open), the escaped command
    // is read back exactly once and unchanged.
    const std::vector<std::string> Frames = Read(Noise, Wire);
    FUZZ_CHECK(!Noise.InFrame());
    if (Body.size() > TModuleFrameReader::MaxFrame) {
        FUZZ_CHECK(Frames.empty()); // line noise to the reader
        return 0;
    }
    FUZZ_CHECK(Frames.size() == 1 && Frames[0] == Body);
    FUZZ_CHECK(ModuleFrameValid(Frames[0], Content) && Content == Body.substr(0, Body.size() - 1));
    return 0;
}
