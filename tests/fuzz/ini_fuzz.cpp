// INI firmware packages: any text must load without harm, and what loads must
// be a version a device can be fed.
#include "FuzzSupport.h"
#include "firmware/IniFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string Text(reinterpret_cast<const char*>(Data), Size);
    TSoftwareVersionCollection C;
    int32_t Progress = 0;
    C.OnProgress = [&](TSoftwareVersionCollection*, int32_t Position, int32_t Count) {
        FUZZ_CHECK(Position >= 1 && Position <= Count);
        ++Progress;
    };
    FuzzCheckCollection(C, C.LoadFromIniText(Text));

    // Every section the reader lists exists, and every key it lists has a value.
    const TMemIniFile Ini(Text);
    for (const std::string& S : Ini.ReadSections()) {
        FUZZ_CHECK(Ini.SectionExists(S));
        for (const std::string& K : Ini.ReadSection(S))
            FUZZ_CHECK(Ini.ValueExists(S, K));
    }
    return 0;
}
