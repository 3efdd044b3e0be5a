// Numeric and token parsing of untrusted texts: parameter values and version
// strings arrive from the device and must never crash or read out of bounds.
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size == 0)
        return 0;
    const std::string S(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    const char Delimiter = static_cast<char>(Data[0]);

    (void)HexToIntDef(S, -1);
    (void)DecToIntDef(S, -1);
    for (bool Spaced : {false, true}) {
        try {
            const std::string Bytes = HexToBytes(S, Spaced);
            // Every byte came from a group of at most a few hex digits.
            if (!Spaced && Bytes.size() != (S.size() + 1) / 2)
                __builtin_trap();
        } catch (const ERangeError&) {
        }
    }
    const int Count = TokenCount(S, Delimiter);
    std::string Joined;
    for (int i = 0; i < Count; ++i)
        Joined += (i ? std::string(1, Delimiter) : std::string()) + GetToken(S, i, Delimiter);
    // Fields put back together give the text again.
    if (Joined != S)
        __builtin_trap();
    if (!GetToken(S, Count, Delimiter).empty())
        __builtin_trap();
    std::string Rest = S;
    while (!Rest.empty())
        (void)FetchTokenChar(Rest, Delimiter);
    (void)ReplaceAll(S, std::string(1, Delimiter), "xy", false);
    return 0;
}
