// The unit pulling its own firmware through the link component's block feed.
#include "LinkTest.h"

#include "firmware/SoftUpdate.h"
#include "tests/common/QtWait.h"

#include <gtest/gtest.h>

namespace
{

// A narrow version with blocks 2 and 3 for hardware 0x25, revision 0.
void AddVersion(TSoftwareVersionCollection& C, const std::string& Title, uint8_t Class,
                int32_t Hardware = 0x25)
{
    TSoftwareVersion V;
    V.Info.Title = Title;
    V.Info.Class = Class;
    V.Info.Hardware = Hardware;
    V.Info.HardwareRev.set(0);
    V.Info.Version = 3;
    V.Blocks = std::string(1, '\x0C') + std::string(31, '\0');
    V.BlockNumbers = {"2", "3"};
    V.BlockData = {std::string(256, '\xA5'), std::string(256, '\x5A')};
    C.AddVersion(V);
}

struct Feed : ::testing::Test {
    TCorvex CX;
    TSoftwareVersionCollection Collection;
    std::string Tx, Rx;
    std::vector<std::pair<int, int>> Progress;
    int Complete = 0, Opened = 0;

    void SetUp() override
    {
        CX.SetExternalCom(true);
        CX.SetConfigType(cxctSTXb);
        CX.OnExternalComTx = [this](TCorvex*, const std::string& S) { Tx += S; };
        CX.OnRX = [this](TCorvex*, const std::string& S) { Rx += S; };
        CX.OnSoftwareUpdate = [this](TCorvex*, int32_t Block, int32_t Percent) {
            Progress.emplace_back(Block, Percent);
        };
        CX.OnSoftwareUpdateComplete = [this](TCorvex*) { ++Complete; };
        CX.OnAfterOpen = [this](TCorvex*) { ++Opened; };
        AddVersion(Collection, "other", 5, 0x26);
        AddVersion(Collection, "unit-fw", 5);
        AddVersion(Collection, "class6", 6);
    }
    void Unit(const std::string& B) { CX.ExternalComRx(B); }
    // Class 5, hardware 0x25, revision 0.
    void ConnectAndDescribe()
    {
        Unit(UnitFrame(cxctSTXb, 0x0B,
                       Bytes("05 00 30 39 00 30 39 01 02 01 02 02 1F 05 2D 01 00 00 01 64 00")));
        Unit(UnitFrame(cxctSTXb, 0x0A, Bytes("25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")));
        ASSERT_TRUE(CX.Connected());
        ASSERT_EQ(CX.VersionInfo().Hardware, 0x25);
    }
    static std::string Ack(bool Ok)
    {
        return UnitFrame(cxctSTXb, 0x02, std::string(1, Ok ? '\x01' : '\x00'));
    }
};

} // namespace

TEST_F(Feed, FindsAndSelectsTheUnitsFirmware)
{
    ConnectAndDescribe();
    EXPECT_EQ(CX.FindSoftwareForUnit(Collection), "unit-fw");
    EXPECT_TRUE(CX.SelectSoftware(Collection, ""));
    EXPECT_EQ(CX.SoftwareTitle(), "unit-fw");
    EXPECT_TRUE(CX.SelectSoftware(Collection, "class6"));
    EXPECT_EQ(CX.SoftwareTitle(), "class6");
    // An unknown title leaves nothing selected rather than the previous version.
    EXPECT_FALSE(CX.SelectSoftware(Collection, "missing"));
    EXPECT_EQ(CX.SoftwareTitle(), "");
    EXPECT_FALSE(CX.SoftwareSource().IsReady());

    TSoftwareVersionCollection None;
    EXPECT_EQ(CX.FindSoftwareForUnit(None), "");
    EXPECT_FALSE(CX.SelectSoftware(None, ""));
}

TEST_F(Feed, StartIsGuarded)
{
    ConnectAndDescribe();
    EXPECT_FALSE(CX.StartSoftwareUpdate(false)) << "nothing selected";
    ASSERT_TRUE(CX.SelectSoftware(Collection, "class6"));
    EXPECT_FALSE(CX.StartSoftwareUpdate(false)) << "wrong class";
    EXPECT_EQ(Tx, "");
    ASSERT_TRUE(CX.SelectSoftware(Collection, "unit-fw"));
    EXPECT_TRUE(CX.StartSoftwareUpdate(true));
    EXPECT_EQ(Hex(Tx), "02 01 10 12 01 01 10 14");
    // Refused by the unit: nothing changes.
    Unit(Ack(false));
    EXPECT_FALSE(CX.SoftwareSource().Active);
    EXPECT_TRUE(CX.LinkTimerEnabled());
}

TEST_F(Feed, AcknowledgedStartServesBlocksUntilTheEndBlock)
{
    ConnectAndDescribe();
    ASSERT_TRUE(CX.SelectSoftware(Collection, "unit-fw"));
    ASSERT_TRUE(CX.StartSoftwareUpdate(false));
    EXPECT_EQ(Hex(Tx), "02 01 10 12 00 10 12");
    Unit(Ack(true));
    EXPECT_TRUE(CX.SoftwareSource().Active);
    EXPECT_FALSE(CX.LinkTimerEnabled()) << "no keep-alive may cut into the transfer";
    EXPECT_FALSE(CX.StartSoftwareUpdate(false)) << "already running";

    // Commands are held back while the unit is busy.
    Tx.clear();
    CX.RequestParameter(1);
    EXPECT_EQ(Tx, "");

    // The map.
    Unit("{\x01}");
    EXPECT_EQ(Hex(Tx), Hex(Bytes("7B 01 20 0C") + std::string(31, '\0') + Bytes("2D 7D")));
    ASSERT_EQ(Progress.size(), 1u);
    EXPECT_EQ(Progress[0], std::make_pair(1, 0));

    // Block 2, whose number is the STX start byte: it must not upset the feed.
    Tx.clear();
    Unit("{\x02}");
    EXPECT_EQ(Hex(Tx), Hex(Bytes("7B 02 00") + std::string(256, '\xA5') + Bytes("02 7D")));
    // Block 3, split over three reads.
    Tx.clear();
    Unit("{");
    Unit("\x03");
    EXPECT_EQ(Tx, "");
    Unit("}");
    EXPECT_EQ(Hex(Tx), Hex(Bytes("7B 03 00") + std::string(256, '\x5A') + Bytes("03 7D")));
    ASSERT_EQ(Progress.size(), 3u);
    EXPECT_EQ(Progress[1], std::make_pair(2, 0));
    EXPECT_EQ(Progress[2], std::make_pair(3, 50));
    // A block in range that the version does not hold goes out as erased flash; its
    // number is the STX escape byte.
    Tx.clear();
    Unit("{\x10}");
    EXPECT_EQ(Hex(Tx), Hex(Bytes("7B 10 00") + std::string(256, '\xFF') + Bytes("10 7D")));
    ASSERT_EQ(Progress.size(), 4u);
    EXPECT_EQ(Progress[3], std::make_pair(16, 100));
    EXPECT_EQ(Rx, "") << "block requests are not shown as text";
    EXPECT_EQ(Complete, 0);

    // The end block: no answer, done, and the link is opened again.
    Tx.clear();
    Unit(std::string("{\0}", 3));
    EXPECT_EQ(Progress.size(), 4u);
    EXPECT_EQ(Complete, 1);
    EXPECT_FALSE(CX.SoftwareSource().Active);
    EXPECT_FALSE(CX.Connected());
    EXPECT_EQ(CX.LinkTimerTag(), 1);
    ASSERT_TRUE(WaitFor([&] { return Tx.find("_CONFIGB\r") != std::string::npos; }, 5000));
    EXPECT_EQ(Hex(Tx), Hex(Bytes("02 01 FF 00 FF") + "_CONFIGB\r"));

    // The unit restarts on its new firmware and answers.
    Unit(UnitFrame(cxctSTXb, 0x01, ShortUnitInfo()));
    EXPECT_TRUE(CX.Connected());
    EXPECT_EQ(Opened, 2);
}

TEST_F(Feed, AVersionLoadedBeforeConnectingIsServedOnRequest)
{
    // A unit that restarted into its loader asks for blocks before any wake-up.
    ASSERT_TRUE(CX.SelectSoftware(Collection, "unit-fw"));
    Unit("boot{\x03}");
    EXPECT_EQ(Hex(Tx), Hex(Bytes("7B 03 00") + std::string(256, '\x5A') + Bytes("03 7D")));
    ASSERT_EQ(Progress.size(), 1u);
    EXPECT_EQ(Progress[0], std::make_pair(3, 50));
    EXPECT_TRUE(CX.SoftwareSource().Active);
    EXPECT_EQ(Rx, "") << "shown text is held back while the unit is fed";
}

TEST_F(Feed, UnitInformationDuringTheFeedStopsIt)
{
    ConnectAndDescribe();
    ASSERT_TRUE(CX.SelectSoftware(Collection, "unit-fw"));
    ASSERT_TRUE(CX.StartSoftwareUpdate(false));
    Unit(Ack(true));
    ASSERT_TRUE(CX.SoftwareSource().Active);
    Unit(UnitFrame(cxctSTXb, 0x01, ShortUnitInfo()));
    EXPECT_FALSE(CX.SoftwareSource().Active);
    EXPECT_TRUE(CX.LinkTimerEnabled());
}
