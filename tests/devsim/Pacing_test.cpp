// With pacing on, bytes take their wire time: 10 bits each at the device's rate.
// These bounds are what the simulator guarantees, so they hold on a loaded machine.
#include "DevsimTest.h"
#include "tools/devsim/GpsModule.h"
#include "tools/devsim/ReceiverImage.h"
#include "tools/devsim/VeltracUnit.h"
#include "util/DeflateText.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace devsim;

namespace
{

using Seconds = std::chrono::duration<double>;
constexpr int Wait = 20000;

Seconds Since(std::chrono::steady_clock::time_point T)
{
    return std::chrono::steady_clock::now() - T;
}

std::string Addr(uint32_t A)
{
    return Bytes({static_cast<int>(A >> 24), static_cast<int>((A >> 16) & 0xFF),
                  static_cast<int>((A >> 8) & 0xFF), static_cast<int>(A & 0xFF)});
}

} // namespace

TEST(Pacing, UnitOutputAt57600TakesTenBitTimesPerByte)
{
    UnitConfig C;
    C.BaudRate = 57600;
    C.Banner = std::string(5760, 'x');
    VeltracUnit Unit(C);
    ToolPort Port(Unit.SlavePath(), 57600);
    Faults F;
    F.Pace = true;
    Unit.SetFaults(F);
    const auto T0 = std::chrono::steady_clock::now();
    Port.Write("_CONFIGB\r");
    ASSERT_TRUE(Port.ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x0B); }, Wait));
    const std::size_t N = Port.Buffer.size();
    EXPECT_GE(N, 5760u + 9 + 10);
    EXPECT_GE(Since(T0).count(), static_cast<double>(N) / 5760.0);
    EXPECT_EQ(Port.Buffer.substr(10, 5760), C.Banner) << "pacing keeps every byte";
}

TEST(Pacing, UnitInputAt57600TakesTenBitTimesPerByte)
{
    UnitConfig C;
    C.BaudRate = 57600;
    C.EchoWakeup = false;
    VeltracUnit Unit(C);
    ToolPort Port(Unit.SlavePath(), 57600);
    Port.Write("_CONFIGB\r");
    ASSERT_TRUE(Port.ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x0B); }, Wait));
    Faults F;
    F.Pace = true;
    Unit.SetFaults(F);
    std::size_t Sent = 0;
    const auto T0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 24; ++i) {
        const std::string Frame =
            ToolFrame(0x1C, Addr(0x10000 + 246u * i) + std::string(246, static_cast<char>(i)));
        Sent += Frame.size();
        Port.Buffer.clear();
        Port.Write(Frame);
        ASSERT_TRUE(Port.ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x02); }, Wait));
        EXPECT_EQ(FramesOf(Port.Buffer, 0x02).at(0).Payload, "\x01");
    }
    // The tool's records plus the unit's 7-byte answers.
    EXPECT_GE(Since(T0).count(), static_cast<double>(Sent + 24 * 7) / 5760.0);
    EXPECT_EQ(Unit.Eeprom(0x10000 + 246u * 23, 246), std::string(246, '\x17'));
}

TEST(Pacing, WakeUpAnswerAt9600)
{
    VeltracUnit Unit;
    ToolPort Port(Unit.SlavePath(), 9600);
    Faults F;
    F.Pace = true;
    Unit.SetFaults(F);
    const auto T0 = std::chrono::steady_clock::now();
    Port.Write("_CONFIGB\r");
    ASSERT_TRUE(Port.ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x0B); }, Wait));
    EXPECT_GE(Since(T0).count(), static_cast<double>(9 + Port.Buffer.size()) / 960.0);
}

TEST(Pacing, ModuleTransferAt57600)
{
    ModuleConfig C;
    C.PrepareDots = 1;
    C.DotIntervalMs = 10;
    C.ProgrammingMs = 10;
    GpsModule Module(C);
    ToolPort Port(Module.SlavePath(), 9600);
    const std::string Image = MakeMediaTekImage("AXN_9.9_paced,1,MC-GG,1.0", 8192, 5);
    Port.Write(ModuleCommand(0xFA, Bytes({'R', 0, 32})));
    ASSERT_TRUE(Port.ReadUntil([](const std::string& B) { return !ParseModuleFrames(B).empty(); }, Wait));
    Port.SetRate(57600);
    ASSERT_TRUE(Port.ReadUntil([](const std::string& B) { return ParseModuleFrames(B).size() == 2; }, Wait));
    Faults F;
    F.Pace = true;
    Module.SetFaults(F);
    std::size_t Wire = 0;
    const auto T0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) {
        const std::string Chunk = Image.substr(static_cast<std::size_t>(i) * 2048, 2048);
        const std::string Frame = ModuleCommand(0xFA, std::string("S") + static_cast<char>(i) + Chunk);
        Wire += Frame.size();
        const std::size_t Had = ParseModuleFrames(Port.Buffer).size();
        Port.Write(Frame);
        ASSERT_TRUE(
            Port.ReadUntil([&](const std::string& B) { return ParseModuleFrames(B).size() > Had; }, Wait));
        Wire += 7; // the status frame
    }
    EXPECT_GE(Since(T0).count(), static_cast<double>(Wire) / 5760.0);
    ASSERT_TRUE(Module.WaitUntil([](const ModuleReport& R) { return R.Programmings == 1; }, Wait));
    EXPECT_EQ(Module.ReceiverImage(), Image);
}

// An adapter's latency timer: a short answer waits the whole timer, a long
// burst goes in full USB packets and only its tail waits. Lower bounds and
// counts only, which hold on a loaded machine.
TEST(Pacing, AnAdapterHoldsShortAnswersAndSendsFullPacketsAtOnce)
{
    UnitConfig C;
    C.BaudRate = 57600;
    C.EchoWakeup = false;
    C.Banner = std::string(1000, 'b');
    C.GpsIntervalMs = 600000; // nothing but the answers on the line
    VeltracUnit Unit(C);
    ToolPort Port(Unit.SlavePath(), 57600);
    Adapter A;
    A.LatencyMs = 400;
    Unit.SetAdapter(A);

    const auto T0 = std::chrono::steady_clock::now();
    Port.Write("_CONFIGB\r");
    // Whatever arrives before the timer can have run out is whole packets.
    std::vector<std::size_t> Early;
    ASSERT_TRUE(Port.ReadUntil(
        [&](const std::string& B) {
            if (Since(T0).count() < 0.4)
                Early.push_back(B.size());
            return HasUnitFrame(B, 0x0B);
        },
        Wait));
    EXPECT_GE(Since(T0).count(), 0.4) << "the burst's tail waits for the timer";
    for (std::size_t N : Early)
        EXPECT_EQ(N % 62, 0u) << N;
    EXPECT_EQ(Port.Buffer.substr(0, 1000), C.Banner);
    LineCounters L = Unit.Line();
    EXPECT_GE(L.AdapterFullPackets, 1000u / 62);
    EXPECT_GE(L.AdapterTimerPackets, 1u);
    EXPECT_EQ(L.AdapterFullPackets * 62, Port.Buffer.size() - Port.Buffer.size() % 62)
        << "every full packet went at once";

    // A 7-byte acknowledgement of an EEPROM record waits the whole timer.
    Port.Buffer.clear();
    const auto T1 = std::chrono::steady_clock::now();
    Port.Write(ToolFrame(0x1C, Addr(0x10000) + std::string(64, 'r')));
    ASSERT_TRUE(Port.ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x02); }, Wait));
    EXPECT_GE(Since(T1).count(), 0.4);
    EXPECT_EQ(FramesOf(Port.Buffer, 0x02).at(0).Payload, "\x01");
    EXPECT_EQ(Unit.Line().AdapterFullPackets, L.AdapterFullPackets);

    // Off again: the next answer is not held (nothing to wait for here).
    Unit.SetAdapter(Adapter{});
    Port.Buffer.clear();
    Port.Write(ToolFrame(0x1C, Addr(0x10040) + std::string(64, 's')));
    ASSERT_TRUE(Port.ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x02); }, Wait));
    EXPECT_EQ(Unit.Line().AdapterTimerPackets, L.AdapterTimerPackets + 1);
}
