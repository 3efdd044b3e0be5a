// The block feed answering a device's "{" number "}" requests: any byte stream
// from the device gives only well-formed answers, each the block it asked for.
#include "FuzzSupport.h"
#include "util/MyFunctions.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace
{

std::string Repeat(const std::string& S, int N)
{
    std::string R;
    for (int i = 0; i < N; ++i)
        R += S;
    return R;
}

TSoftwareVersionCollection* Versions = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Narrow, wide, and wide with a double map and a hardware id; block
    // contents hold the request bytes themselves.
    const std::string Ini = "[narrow]\nAddressWidth=8\nClass=21\nBlocks=FF" + Repeat("00", 30) +
                            "81\n0=01\n1=7B7D\n2=" + Repeat("7B", 256) + "\n7=" + Repeat("7D", 255) +
                            "\n255=FF\n"
                            "[wide]\nAddressWidth=16\nBlocks=FF0F" +
                            Repeat("00", 61) + "80\n8=7D7B\n9=" + Repeat("00", 256) + "\n511=11\n" +
                            "[double]\nAddressWidth=16\nHardwareID=4660\nBlocks=07E3FF" + Repeat("00", 60) +
                            "01\n16=AA\n17=BB\n1008=CC\n";
    Versions = new TSoftwareVersionCollection;
    FUZZ_CHECK(Versions->LoadFromIniText(Ini) == 3);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size == 0)
        return 0;
    TSoftwareUpdate U;
    FUZZ_CHECK(U.SelectIndex(*Versions, Data[0] % 3));
    if (Data[0] & 0x80)
        U.Restart();
    uint8_t History[4] = {0, 0, 0, 0};
    for (size_t i = 1; i < Size; ++i) {
        const uint8_t Ch = Data[i];
        History[0] = History[1];
        History[1] = History[2];
        History[2] = History[3];
        History[3] = Ch;
        std::string Reply;
        U.ProcessChar(Ch, Reply);

        // A request is "{", one or two number bytes, "}".
        const bool Complete = Ch == '}' && (U.Wide ? History[0] == '{' : History[1] == '{');
        const int32_t N = U.Wide ? History[1] * 256 + History[2] : History[2];
        if (!Complete) {
            FUZZ_CHECK(Reply.empty());
            continue;
        }
        FUZZ_CHECK(U.Requested == N);
        if (N == U.EndBlock && N != U.MapBlock && N != U.InfoBlock) {
            FUZZ_CHECK(Reply.empty() && !U.Active);
            continue;
        }
        if (N > U.MaxBlock && N != U.MapBlock && N != U.InfoBlock) {
            FUZZ_CHECK(Reply.empty());
            continue;
        }
        // "{" number length payload sum "}"; the sum covers number, length and payload.
        const size_t Head = U.Wide ? 3 : 2;
        FUZZ_CHECK(Reply.size() >= Head + 3 && Reply.front() == '{' && Reply.back() == '}');
        const std::string Body = Reply.substr(1, Reply.size() - 3);
        FUZZ_CHECK(static_cast<uint8_t>(Reply[Reply.size() - 2]) == ByteSum(Body, true));
        const int32_t Number = U.Wide ? static_cast<uint8_t>(Body[0]) * 256 + static_cast<uint8_t>(Body[1])
                                      : static_cast<uint8_t>(Body[0]);
        FUZZ_CHECK(Number == N);
        const std::string Payload = Body.substr(Head);
        FUZZ_CHECK(static_cast<uint8_t>(Body[Head - 1]) == (Payload.size() & 0xFF));
        if (N == U.MapBlock || N == U.InfoBlock)
            FUZZ_CHECK(Payload.compare(0, U.Blocks.size(), U.Blocks) == 0);
        else
            FUZZ_CHECK(Payload == U.BlockOf(N) && U.LastServed == N);
        FUZZ_CHECK(U.Active);
        const double Percent = U.Progress();
        FUZZ_CHECK(Percent >= 0.0 && Percent <= 100.0);
    }
    return 0;
}
