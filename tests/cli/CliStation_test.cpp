// --watch: a station that updates devices as they are plugged in, leaves
// the finished ones alone, follows a returning receiver, and stops on Ctrl-C.
#include "CliTest.h"

#include <QJsonArray>
#include <chrono>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace devsim;

namespace
{

constexpr int Wait = 60000;

// Polls Holds until it is true or Wait passes.
bool Eventually(const std::function<bool()>& Holds, int TimeoutMs = Wait)
{
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Holds()) {
        if (std::chrono::steady_clock::now() > End)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::size_t RecordLines(const std::string& Record)
{
    return Lines(ReadFile(Record)).size();
}

} // namespace

// Three devices plugged in one after another are each updated once; the
// first, left on its port, is probed again and left alone; another unit on
// the same adapter (the port never went away) is found and updated.
TEST(CliStation, EachDeviceOnceAsItIsPluggedIn)
{
    ASSERT_FALSE(Archive().Image.empty());
    TTempDir Dir, Files;
    const std::string Record = Files.Path + "/record.jsonl";
    const std::string Log = Files.Path + "/station.log";
    TCliProcess Station({"--watch", "--record", Record, "--log", Log, "--timeout", "120"}, Dir.Path);

    UnitConfig First = QuickUnit();
    First.UnitId = 4001;
    auto A = PlugIn<VeltracUnit>(First, 5, Dir);
    ASSERT_TRUE(Eventually([&] { return RecordLines(Record) == 1; })) << Station.OutSoFar();
    ModuleConfig MC = QuickModule();
    MC.ModuleId = 0x00B00001;
    auto B = PlugIn<GpsModule>(MC, 6, Dir);
    ASSERT_TRUE(Eventually([&] { return RecordLines(Record) == 2; })) << Station.OutSoFar();
    UnitConfig Third = QuickUnit();
    Third.UnitId = 4003;
    auto C = PlugIn<VeltracUnit>(Third, 7, Dir);
    ASSERT_TRUE(Eventually([&] { return RecordLines(Record) == 3; })) << Station.OutSoFar();

    // The finished unit still answers the station's probes and is left alone.
    const int Woken = A->Report().Wakeups;
    ASSERT_TRUE(A->WaitUntil([&](const UnitReport& U) { return U.Wakeups >= Woken + 2; }, Wait));
    EXPECT_EQ(RecordLines(Record), 3u);

    // The cable goes to another unit; COM 5 stays open all along.
    UnitConfig Next = QuickUnit();
    Next.UnitId = 4002;
    A->Exchange(Next, 2);
    ASSERT_TRUE(Eventually([&] { return RecordLines(Record) == 4; })) << Station.OutSoFar();

    Station.Signal(SIGINT);
    const TCliResult R = Station.Wait(Wait);
    ASSERT_TRUE(R.Finished) << R.Out << R.Err;
    EXPECT_EQ(R.ExitCode, 0) << R.Out << R.Err;

    std::vector<std::pair<int, QString>> Recorded;
    for (const QJsonObject& J : JsonLines(ReadFile(Record))) {
        EXPECT_EQ(J.value("result").toString(), "updated");
        Recorded.emplace_back(J.value("com").toInt(), J.value("device_id").toString());
    }
    const std::vector<std::pair<int, QString>> Expected{
        {5, "4001"}, {6, "00B00001"}, {7, "4003"}, {5, "4002"}};
    EXPECT_EQ(Recorded, Expected);
    // Each device programmed once, and sent its image once.
    EXPECT_EQ(A->Report().Programmings, 1); // the second unit on the cable
    EXPECT_EQ(A->Report().Transfers, 1);
    EXPECT_EQ(B->Report().Programmings, 1);
    EXPECT_EQ(C->Report().Programmings, 1);
    EXPECT_TRUE(A->ReceiverImage() == Archive().Image);

    for (const char* Said :
         {"COM 5: unit 4001 updated: unplug it\n", "COM 6: module 00B00001 updated: unplug it\n",
          "COM 5: unit 4002 (", "Summary of 4 devices: 4 updated\n",
          "Every device was updated or is up to date (exit code 0)\n"})
        EXPECT_NE(R.Out.find(Said), std::string::npos) << Said << "\n" << R.Out;
    // A log a device, named by its port and ID.
    for (const char* Name : {".com5.4001", ".com6.00B00001", ".com7.4003", ".com5.4002"})
        EXPECT_NE(ReadFile(Log + Name).find("# result: updated"), std::string::npos) << Name;
}

// A unit pulled out while it programs comes back: its run follows it to the
// new version without sending the image again. Then a unit that programs
// slowly: the first Ctrl-C waits for it, the second ends the run (exit 130).
TEST(CliStation, ReturningReceiverFollowedAndCtrlCTwice)
{
    TTempDir Dir, Files;
    const std::string Record = Files.Path + "/record.jsonl";
    TCliProcess Station({"--watch", "--device", "veltrac", "--json", "--record", Record}, Dir.Path);

    UnitConfig Pulled = QuickUnit();
    Pulled.UnitId = 5001;
    // Back at 9600 soon after its line went quiet (a real unit waits 20 s),
    // yet longer than the tool listens for its logger status after waking it.
    Pulled.LinkTimeoutMs = 5000;
    auto X = PlugIn<VeltracUnit>(Pulled, 5, Dir);
    Faults F;
    F.HangUpAt = "logger:2";
    F.ReplugAfterMs = 800;
    X->SetFaults(F);
    ASSERT_TRUE(Eventually([&] { return RecordLines(Record) == 2; })) << [&] {
        std::string L;
        for (const std::string& Line : X->LogLines())
            L += Line + "\n";
        return L;
    }();
    const std::vector<QJsonObject> Runs = JsonLines(ReadFile(Record));
    EXPECT_EQ(Runs[0].value("result").toString(), "port-error");
    EXPECT_EQ(Runs[1].value("result").toString(), "updated");
    for (const QJsonObject& J : Runs)
        EXPECT_EQ(J.value("device_id").toString(), "5001");
    EXPECT_EQ(X->Report().Line.HangUps, 1);
    EXPECT_EQ(X->Report().Transfers, 1);
    EXPECT_EQ(X->Report().Programmings, 1);

    UnitConfig Slow = QuickUnit();
    Slow.UnitId = 5002;
    Slow.ProgrammingMs = 120000;
    auto Y = PlugIn<VeltracUnit>(Slow, 6, Dir);
    ASSERT_TRUE(Y->WaitUntil([](const UnitReport& U) { return U.Programming; }, Wait)) << Station.OutSoFar();
    Station.Signal(SIGINT);
    ASSERT_TRUE(
        Eventually([&] { return Station.OutSoFar().find("\"what\":\"stopping\"") != std::string::npos; }));
    // The station waits: the link stays while the receiver programs.
    ASSERT_TRUE(
        Eventually([&] { return Station.OutSoFar().find("Warning: SIGINT received") != std::string::npos; }));
    EXPECT_TRUE(Y->Report().Programming);
    EXPECT_TRUE(Y->Report().EndsWhileProgramming.empty());
    Station.Signal(SIGINT);
    const TCliResult R = Station.Wait(Wait);
    ASSERT_TRUE(R.Finished) << R.Out << R.Err;
    EXPECT_EQ(R.ExitCode, 130) << R.Out << R.Err;

    QJsonObject Summary;
    for (const QJsonObject& J : JsonLines(R.Out))
        if (J.value("event").toString() == "summary")
            Summary = J;
    // A device counts by its last run: the returned one was updated.
    EXPECT_EQ(Summary.value("devices").toInt(), 2);
    EXPECT_EQ(Summary.value("outcomes").toObject().value("updated").toInt(), 1);
    EXPECT_EQ(Summary.value("outcomes").toObject().value("interrupted").toInt(), 1);
    EXPECT_EQ(Summary.value("not_updated").toArray().at(0).toString(), "COM 6 (unit 5002)");
    EXPECT_EQ(Summary.value("exit_code").toInt(), 130);
    EXPECT_EQ(RecordLines(Record), 3u);
}
