// The tracking unit's frame reader on its own, under any line settings: it never
// shows more than it was given nor holds more than MaxRawText, its output does
// not depend on how the bytes are split into reads, and a frame built as the unit
// sends it comes out exactly once, unchanged, however it is split and whatever
// came before it (after a raw 02, or once the reader waits for a new frame).
#include "FuzzSupport.h"
#include "link/CorvexFrameReader.h"
#include "link/CorvexFrames.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace
{

std::string UnitFrame(TCX_ConfigType Mode, uint8_t Cmd, const std::string& Payload)
{
    std::string F = CX_BuildFrame(Mode, Cmd, Payload);
    if (Mode != cxctCore2)
        F[1] = static_cast<char>(CX_UnitAddress);
    return F;
}

// The values the frame carries, as the reader shows them with ShowRaw: no escapes.
std::string FrameValues(TCX_ConfigType Mode, uint8_t Cmd, const std::string& Payload)
{
    if (Mode == cxctCore2)
        return CX_BuildFrame(Mode, Cmd, Payload);
    uint8_t Sum = 0;
    for (char C : Payload)
        Sum = static_cast<uint8_t>(Sum + static_cast<uint8_t>(C));
    if (Mode == cxctSTXb)
        Sum = static_cast<uint8_t>(Sum + Cmd + Payload.size());
    std::string V;
    V += static_cast<char>(CX_STX);
    V += static_cast<char>(CX_UnitAddress);
    V += static_cast<char>(Cmd);
    V += static_cast<char>(Payload.size());
    V += Payload;
    V += static_cast<char>(Sum);
    return V;
}

bool SameFrames(const std::vector<TCX_Frame>& A, const std::vector<TCX_Frame>& B)
{
    if (A.size() != B.size())
        return false;
    for (std::size_t i = 0; i < A.size(); ++i)
        if (A[i].CmdID != B[i].CmdID || A[i].Payload != B[i].Payload || A[i].Ignored != B[i].Ignored)
            return false;
    return true;
}

// Reads Bytes in pieces of 1..Most bytes whose sizes come from Cut.
std::string ReadInPieces(TCX_FrameReader& R, const std::string& Bytes, TCX_ReaderLine& Line,
                         std::vector<TCX_Frame>& Frames, std::minstd_rand& Cut, std::size_t Most)
{
    std::string Shown;
    for (std::size_t Pos = 0; Pos < Bytes.size();) {
        const std::size_t N = 1 + Cut() % Most;
        Shown += R.Read(Bytes.substr(Pos, N), Line, Frames);
        Pos += N;
    }
    return Shown;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzedDataProvider P(Data, Size);
    TCX_ReaderLine Line;
    Line.ConfigType = static_cast<TCX_ConfigType>(P.ConsumeIntegralInRange<int>(0, 2));
    Line.AutoDetect = P.ConsumeBool();
    Line.Connected = P.ConsumeBool();
    Line.CoreEscape = P.ConsumeBool();
    Line.ShowRaw = P.ConsumeBool();
    const uint8_t Taken = P.ConsumeIntegral<uint8_t>(); // bytes a block feed takes: bit i % 8
    const uint32_t Seed = P.ConsumeIntegral<uint32_t>();
    const std::string Bytes = P.ConsumeRemainingBytesAsString();
    const TCX_ConfigType Mode = Line.ConfigType;
    const bool MayDetect = Line.AutoDetect && !Line.Connected;

    // The same bytes in one read and in pieces: the same frames, text and mode.
    TCX_ReaderLine Whole = Line;
    TCX_FrameReader RW;
    std::vector<TCX_Frame> WholeFrames;
    const std::string WholeShown = RW.Read(Bytes, Whole, WholeFrames);
    TCX_ReaderLine Split = Line;
    TCX_FrameReader RS;
    std::vector<TCX_Frame> SplitFrames;
    std::minstd_rand Cut(Seed);
    const std::string SplitShown = ReadInPieces(RS, Bytes, Split, SplitFrames, Cut, 40);
    FUZZ_CHECK(SameFrames(WholeFrames, SplitFrames));
    FUZZ_CHECK(WholeShown == SplitShown);
    FUZZ_CHECK(Whole.ConfigType == Split.ConfigType);
    FUZZ_CHECK(MayDetect || Whole.ConfigType == Mode);
    // Each byte is shown at most once, as itself or as its unescaped value.
    FUZZ_CHECK(WholeShown.size() + RW.HeldSize() <= Bytes.size());
    for (const TCX_Frame& F : WholeFrames)
        FUZZ_CHECK(F.Payload.size() <= 255);

    // Byte by byte with some bytes taken by someone else: held text stays bounded.
    TCX_ReaderLine Fed = Line;
    TCX_FrameReader RF;
    std::string FedShown;
    for (std::size_t i = 0; i < Bytes.size(); ++i) {
        bool Consumed = (Taken >> (i % 8)) & 1u;
        RF.Take(static_cast<uint8_t>(Bytes[i]), Fed, Consumed, FedShown);
        RF.Settle(Consumed, Fed.ShowRaw, FedShown);
        FUZZ_CHECK(RF.HeldSize() <= TCX_FrameReader::MaxRawText);
        FUZZ_CHECK(!Fed.ShowRaw || RF.HeldSize() == 0);
    }
    FUZZ_CHECK(FedShown.size() + RF.HeldSize() <= Bytes.size());

    // A frame the unit could send, taken from the front of the input.
    const uint8_t Cmd = Bytes.empty() ? 0 : static_cast<uint8_t>(Bytes[0]);
    const std::string Payload = Bytes.substr(Bytes.empty() ? 0 : 1, 255);
    for (TCX_ConfigType M : {cxctCore2, cxctSTX, cxctSTXb}) {
        TCX_ReaderLine L = Line;
        L.ConfigType = M;
        L.AutoDetect = false;
        const std::string Frame = UnitFrame(M, Cmd, Payload);

        // Fresh, split anywhere.
        TCX_FrameReader R;
        std::vector<TCX_Frame> Frames;
        const std::string Shown = ReadInPieces(R, Frame, L, Frames, Cut, 1 + Cut() % 300);
        FUZZ_CHECK(Frames.size() == 1 && Frames[0].CmdID == Cmd && Frames[0].Payload == Payload &&
                   !Frames[0].Ignored);
        if (!L.ShowRaw)
            FUZZ_CHECK(Shown.empty());
        else if (!(M == cxctCore2 && L.CoreEscape))
            FUZZ_CHECK(Shown == FrameValues(M, Cmd, Payload));
        FUZZ_CHECK(R.HeldSize() == 0);

        // Our own echo is assembled and marked.
        if (M != cxctCore2) {
            Frames.clear();
            R.Read(CX_BuildFrame(M, Cmd, Payload), L, Frames);
            FUZZ_CHECK(Frames.size() == 1 && Frames[0].Ignored && Frames[0].Payload == Payload);
        }

        // After arbitrary bytes: a raw 02 resynchronises, a bracket needs Hunt.
        TCX_FrameReader N;
        std::vector<TCX_Frame> Noise;
        N.Read(Bytes, L, Noise);
        if (M == cxctCore2)
            N.Hunt();
        Frames.clear();
        ReadInPieces(N, Frame, L, Frames, Cut, 64);
        FUZZ_CHECK(Frames.size() == 1 && Frames[0].CmdID == Cmd && Frames[0].Payload == Payload &&
                   !Frames[0].Ignored);
    }

    // Auto-detection from bracketed mode settles on the mode of the unit information.
    const std::string Info = Payload.substr(0, 200);
    for (TCX_ConfigType M : {cxctCore2, cxctSTX, cxctSTXb}) {
        for (uint8_t InfoCmd : {uint8_t(0x01), uint8_t(0x0B)}) {
            if (M == cxctSTXb && InfoCmd == 0x01)
                continue; // only the extended form tells the two checksums apart
            TCX_ReaderLine L;
            L.ConfigType = cxctCore2;
            L.AutoDetect = true;
            TCX_FrameReader R;
            std::vector<TCX_Frame> Frames;
            R.Read(UnitFrame(M, InfoCmd, Info), L, Frames);
            FUZZ_CHECK(Frames.size() == 1 && Frames[0].CmdID == InfoCmd && Frames[0].Payload == Info);
            FUZZ_CHECK(L.ConfigType == M);
        }
    }
    return 0;
}
