// The External GPS module's frames: a command built and escaped comes back
// unchanged through the module's unescaping; any received content is checked
// without harm.
#include "FuzzSupport.h"
#include "link/ModuleFrames.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace
{

// The receiving side: "<" ... ">", 10 10 -> 10, 10 01 -> 3C, 10 02 -> 3E.
bool Unescape(const std::string& Wire, std::string& Body)
{
    if (Wire.size() < 2 || Wire.front() != '\x3C' || Wire.back() != '\x3E')
        return false;
    Body.clear();
    for (size_t i = 1; i + 1 < Wire.size(); ++i) {
        const auto C = static_cast<uint8_t>(Wire[i]);
        if (C == 0x3C || C == 0x3E)
            return false; // a frame mark inside the frame
        if (C != 0x10) {
            Body += static_cast<char>(C);
            continue;
        }
        if (++i + 1 >= Wire.size())
            return false;
        switch (static_cast<uint8_t>(Wire[i])) {
        case 0x10:
            Body += '\x10';
            break;
        case 0x01:
            Body += '\x3C';
            break;
        case 0x02:
            Body += '\x3E';
            break;
        default:
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string In(reinterpret_cast<const char*>(Data), Size);
    std::string Content;
    if (ModuleFrameValid(In, Content))
        FUZZ_CHECK(Content.size() + 1 == In.size() && In.compare(0, Content.size(), Content) == 0);

    if (Size == 0)
        return 0;
    const uint8_t Cmd = Data[0];
    const std::string Payload = In.substr(1);
    const std::string Body = ModuleCommandBody(Cmd, Payload);
    FUZZ_CHECK(Body.size() == Payload.size() + 4 && Body[0] == 0 && Body[1] == 0x2C);
    std::string Back;
    FUZZ_CHECK(Unescape(EscapeModuleFrame(Body), Back) && Back == Body);
    FUZZ_CHECK(ModuleFrameValid(Back, Content));
    FUZZ_CHECK(Content == Body.substr(0, Body.size() - 1));
    return 0;
}
