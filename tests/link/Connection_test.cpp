// The connection cycle over a real pty, against a scripted unit. These tests run
// on the component's real timers (1.5 s wake-ups, 10 s keep-alive).
#include "LinkTest.h"

#include "firmware/SoftUpdate.h"
#include "serial/AppException.h"
#include "serial/ComPort.h"
#include "tests/common/QtWait.h"

#include <gtest/gtest.h>

namespace
{

constexpr int Com = 7;
const std::string Wake = "_CONFIGB\r";

struct Connection : ::testing::Test {
    TUnitPeer Peer{Com};
    TCorvex CX;
    int Opened = 0, Closed = 0, Infos = 0, Fast = 0;
    std::vector<std::pair<int, std::string>> Unhandled;

    void SetUp() override
    {
        CX.SetConfigType(cxctSTXb);
        CX.SetComNumber(Com);
        CX.OnAfterOpen = [this](TCorvex*) { ++Opened; };
        CX.OnAfterClose = [this](TCorvex*) { ++Closed; };
        CX.OnGotUnitInfo = [this](TCorvex*, const TCX_UnitInfo&) { ++Infos; };
        CX.OnFastSpeed = [this](TCorvex*) { ++Fast; };
        CX.OnGotCommand = [this](TCorvex*, uint8_t C, const std::string& D) { Unhandled.emplace_back(C, D); };
    }
    bool Until(const std::function<bool()>& Cond, int Ms)
    {
        return WaitFor(
            [&] {
                Peer.Poll();
                return Cond();
            },
            Ms);
    }
    bool PeerGot(const std::string& Bytes, int Ms = 5000)
    {
        return Until([&] { return Peer.Received.find(Bytes) != std::string::npos; }, Ms);
    }
    void Reply(uint8_t CmdID, const std::string& Payload) { Peer.Write(UnitFrame(cxctSTXb, CmdID, Payload)); }
    void OpenAndConnect()
    {
        CX.Open();
        ASSERT_TRUE(Until([&] { return !Peer.WakeUps.empty(); }, 5000));
        Reply(0x01, ShortUnitInfo());
        ASSERT_TRUE(Until([&] { return CX.Connected(); }, 5000));
        Peer.Received.clear();
    }
};

} // namespace

TEST_F(Connection, WakesTheUnitUntilItAnswers)
{
    int Again = 0;
    CX.OnWakeUpAgain = [&](TCorvex*) { ++Again; };
    const qint64 OpenedAt = Peer.Clock.elapsed();
    CX.Open();
    EXPECT_TRUE(CX.Port().Active());
    EXPECT_EQ(CX.LinkTimerTag(), 1);
    ASSERT_TRUE(Until([&] { return Peer.WakeUps.size() >= 7; }, 20000));
    const auto& W = Peer.WakeUps;
    // The end-of-connection frame goes first on the 1st and 7th attempt, the text alone between.
    EXPECT_EQ(Hex(W[0].Bytes), Hex(Bytes("02 01 FF 00 FF") + Wake));
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(Hex(W[i].Bytes), Hex(Wake)) << i;
    EXPECT_EQ(Hex(W[6].Bytes), Hex(Bytes("02 01 FF 00 FF") + Wake));
    // The first soon after Open, then every 1500 ms (coarse timers may fire 5 % early).
    EXPECT_LT(W[0].At - OpenedAt, 1000);
    for (int i = 1; i < 7; ++i)
        EXPECT_GE(W[i].At - W[i - 1].At, 1400) << i;
    EXPECT_EQ(Peer.Speed(), 9600u);
    EXPECT_EQ(Opened, 0);

    // The unit's answer, with its echo of the wake-up in front, establishes the link.
    Peer.Write("_CONFIGB\r\n" + UnitFrame(cxctSTXb, 0x01, ShortUnitInfo()));
    ASSERT_TRUE(Until([&] { return CX.Connected(); }, 5000));
    EXPECT_EQ(Opened, 1);
    EXPECT_EQ(Infos, 1);
    EXPECT_EQ(CX.LinkTimerTag(), 0);
    EXPECT_EQ(CX.LinkTimerInterval(), 10000);
    const std::size_t Seen = W.size();
    Pump(1800);
    Peer.Poll();
    EXPECT_EQ(Peer.WakeUps.size(), Seen) << "no more wake-ups once connected";
    EXPECT_EQ(Again, static_cast<int>(Seen) - 1) << "each one after the first repeats an unanswered one";

    // A second unit information refreshes but does not connect again.
    Reply(0x01, Bytes("00 30 3A 01 02 02 1F 05 2D 01 00 64"));
    ASSERT_TRUE(Until([&] { return Infos == 2; }, 5000));
    EXPECT_EQ(CX.UnitInfo().UnitID, 12346);
    EXPECT_EQ(Opened, 1);
    EXPECT_TRUE(Unhandled.empty());
}

TEST_F(Connection, KeepAliveAfterTenQuietSecondsAndTurnOff)
{
    OpenAndConnect();
    const qint64 ConnectedAt = Peer.Clock.elapsed();
    ASSERT_TRUE(PeerGot(Bytes("02 01 00 00 00"), 20000));
    EXPECT_GE(Peer.Clock.elapsed() - ConnectedAt, 9000); // coarse timers may fire 5 % early
    Reply(0x02, Bytes("01"));
    Pump(200);
    EXPECT_TRUE(Unhandled.empty()) << "the keep-alive's acknowledgement is expected";

    CX.TurnOff();
    ASSERT_TRUE(PeerGot(Bytes("02 01 F2 00 F2")));
    EXPECT_TRUE(CX.Connected());
    Reply(0x02, Bytes("01"));
    ASSERT_TRUE(Until([&] { return Closed == 1; }, 5000));
    EXPECT_FALSE(CX.Port().Active());
    EXPECT_FALSE(CX.Connected());
    EXPECT_FALSE(CX.LinkTimerEnabled());
}

TEST_F(Connection, SpeedSwitchAndBothWaysOfClosing)
{
    OpenAndConnect();
    EXPECT_EQ(Peer.Speed(), 9600u);
    CX.SetFastSpeed();
    ASSERT_TRUE(PeerGot(Bytes("02 01 14 00 14")));
    Reply(0x02, Bytes("01"));
    ASSERT_TRUE(Until([&] { return Fast == 1; }, 5000));
    // The new rate waits until the command has left the line.
    EXPECT_TRUE(Until([&] { return Peer.Speed() == 57600u; }, 5000)) << Peer.Speed();

    // Close without Immediately only asks the unit; its acknowledgement closes.
    CX.SetConnected(false);
    ASSERT_TRUE(PeerGot(Bytes("02 01 FF 00 FF")));
    EXPECT_FALSE(CX.LinkTimerEnabled());
    EXPECT_TRUE(CX.Connected());
    EXPECT_TRUE(CX.Port().Active());
    Reply(0x02, Bytes("01"));
    ASSERT_TRUE(Until([&] { return Closed == 1; }, 5000));
    EXPECT_FALSE(CX.Port().Active());
    EXPECT_FALSE(CX.Connected());

    // Opening again starts at the configured speed.
    Peer.WakeUps.clear();
    CX.Open();
    ASSERT_TRUE(Until([&] { return !Peer.WakeUps.empty(); }, 5000));
    EXPECT_EQ(Peer.Speed(), 9600u);
    CX.Close(true);
    EXPECT_EQ(Closed, 2);
    EXPECT_FALSE(CX.Port().Active());
    EXPECT_FALSE(CX.LinkTimerEnabled());
    EXPECT_FALSE(CX.Connected());
}

TEST_F(Connection, UnitPullsItsFirmwareOverTheLine)
{
    TSoftwareVersionCollection C;
    TSoftwareVersion V;
    V.Info.Title = "fw";
    V.Blocks = std::string(1, '\x0C') + std::string(31, '\0');
    V.BlockNumbers = {"2"};
    V.BlockData = {std::string(256, '\x11')};
    C.AddVersion(V);
    int Done = 0;
    CX.OnSoftwareUpdateComplete = [&](TCorvex*) { ++Done; };

    OpenAndConnect();
    ASSERT_TRUE(CX.SelectSoftware(C, "fw"));
    ASSERT_TRUE(CX.StartSoftwareUpdate(false));
    ASSERT_TRUE(PeerGot(Bytes("02 01 10 12 00 10 12")));
    Reply(0x02, Bytes("01"));
    ASSERT_TRUE(Until([&] { return CX.SoftwareSource().Active; }, 5000));
    Peer.Received.clear();
    Peer.Write("{\x02}");
    ASSERT_TRUE(PeerGot(Bytes("7B 02 00") + std::string(256, '\x11') + Bytes("02 7D")));
    Peer.WakeUps.clear();
    Peer.Write(std::string("{\0}", 3));
    ASSERT_TRUE(Until([&] { return Done == 1 && !Peer.WakeUps.empty(); }, 5000));
    EXPECT_FALSE(CX.Connected());
    EXPECT_TRUE(CX.Port().Active());
}

TEST_F(Connection, ReopeningOnAMissingPortRaisesAndLeavesTheLinkIdle)
{
    OpenAndConnect();
    ASSERT_TRUE(CX.LinkTimerEnabled());
    CX.SetComNumber(9);
    EXPECT_THROW(CX.Open(), EComPortCoreError);
    EXPECT_FALSE(CX.Port().Active());
    EXPECT_FALSE(CX.Connected());
    EXPECT_FALSE(CX.LinkTimerEnabled()) << "no keep-alive tick may retry the open";
}

TEST_F(Connection, OpenAfterTheUnitWasUnpluggedAndPluggedInAgain)
{
    std::vector<std::string> Reported;
    SetApplicationExceptionHandler([&](const std::exception& E) { Reported.push_back(E.what()); });
    OpenAndConnect();
    Peer.HangUp();
    ASSERT_TRUE(WaitFor([&] { return CX.Port().HungUp(); }, 5000));
    ASSERT_TRUE(WaitFor([&] { return !Reported.empty(); }, 5000));
    EXPECT_NE(Reported.front().find("hung up"), std::string::npos) << Reported.front();
    EXPECT_TRUE(CX.Port().Active()) << "the port stays until the link lets it go";

    // Plugged in again: Open without a Close first wakes the unit on the new line.
    Peer.Replug();
    Peer.WakeUps.clear();
    CX.Open();
    EXPECT_FALSE(CX.Port().HungUp());
    ASSERT_TRUE(Until([&] { return !Peer.WakeUps.empty(); }, 5000)) << "nothing reached the new line";
    EXPECT_EQ(Peer.Speed(), 9600u);
    Reply(0x01, ShortUnitInfo());
    ASSERT_TRUE(Until([&] { return CX.Connected(); }, 5000));
    EXPECT_EQ(Reported.size(), 1u) << (Reported.empty() ? "" : Reported.back());
    SetApplicationExceptionHandler(nullptr);
}

TEST(ConnectionFailure, OpeningAMissingPortRaises)
{
    TUnitPeer Peer(7);
    TCorvex CX;
    CX.SetComNumber(9);
    EXPECT_THROW(CX.Open(), EComPortCoreError);
    EXPECT_FALSE(CX.LinkTimerEnabled());
    EXPECT_FALSE(CX.Active());
}
