// Low-latency mode at open and close: an adapter's latency timer (a fake
// sysfs tree whose ttyUSB0 is a real pty) goes to 1 ms while the port is open
// and back afterwards; a port with neither setting opens as before.
#include "serial/ComPort.h"
#include "serial/PortAdapter.h"

#include "FakeSysfs.h"
#include "TestPty.h"

#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

std::string ReadText(const std::string& Path)
{
    std::ifstream f(Path);
    std::string s;
    std::getline(f, s);
    return s;
}

struct LatencyPort {
    LatencyPort()
    {
        Dir.Link(5, Pty.SlavePath);
        Port.SetComNumber(5);
        Port.OnLatencySetup = [this](TComPort*, const TLatencySetup& S) { Seen.push_back(S.Text()); };
    }
    TTestComDir Dir;
    TTestPty Pty;
    TComPort Port;
    std::vector<std::string> Seen;
};

} // namespace

TEST(ComPortLatency, TheAdaptersTimerIsLoweredWhileOpenAndRestoredAfter)
{
    TFakeSysfs sys;
    LatencyPort p;
    sys.AddUsb(TFakeSysfs::TUsb{}, p.Pty.SlavePath);
    const std::string timer = TtySysfsDevice("ttyUSB0") + "/latency_timer";
    std::ofstream(timer) << "16\n";
    ASSERT_EQ(LatencyTimerPath(p.Dir.LinkPath(5)), timer);

    p.Port.Open();
    EXPECT_EQ(ReadText(timer), "1");
    // A pty has no low-latency flag: the timer alone is changed, the port works.
    ASSERT_EQ(p.Seen, std::vector<std::string>{"low-latency mode not available, latency timer 16 -> 1 ms"});
    p.Port.WriteString("ok");
    EXPECT_EQ(p.Pty.Read(2), "ok");
    p.Port.Close();
    EXPECT_EQ(ReadText(timer), "16");

    // A hang-up is closed the same way.
    p.Port.Open();
    EXPECT_EQ(ReadText(timer), "1");
    p.Pty.CloseMaster();
    p.Port.Close();
    EXPECT_EQ(ReadText(timer), "16");

    // Set by hand to another value meanwhile: that value stays.
    p.Port.SetComNumber(5);
    TTestPty again;
    p.Dir.Link(5, again.SlavePath);
    sys.AddUsb(TFakeSysfs::TUsb{}, again.SlavePath);
    p.Port.Open();
    EXPECT_EQ(ReadText(timer), "1");
    std::ofstream(timer) << "4\n";
    p.Port.Close();
    EXPECT_EQ(ReadText(timer), "4");
}

TEST(ComPortLatency, ATimerThatCannotBeWrittenOrNoneAtAllOpensSilently)
{
    TFakeSysfs sys;
    LatencyPort p;
    sys.AddUsb(TFakeSysfs::TUsb{}, p.Pty.SlavePath);
    // A number in a file that not even root may write stands in for an
    // attribute without a udev rule that opens it to the user.
    const std::string locked = "/proc/sys/kernel/cap_last_cap";
    const std::string before = ReadText(locked);
    if (before.empty() || ::access(locked.c_str(), W_OK) == 0)
        GTEST_SKIP() << locked << " is not a read-only number here";
    const std::string timer = TtySysfsDevice("ttyUSB0") + "/latency_timer";
    ASSERT_EQ(::symlink(locked.c_str(), timer.c_str()), 0);
    p.Port.Open();
    EXPECT_TRUE(p.Port.Active());
    ASSERT_EQ(p.Seen.size(), 1u);
    EXPECT_TRUE(p.Seen[0].starts_with("low-latency mode not available, latency timer " + before +
                                      " ms (cannot be changed: "))
        << p.Seen[0];
    p.Port.Close();
    EXPECT_EQ(ReadText(locked), before);

    // A plain pty: nothing to set, nothing written anywhere.
    TTestPty bare;
    p.Dir.Link(6, bare.SlavePath);
    p.Port.SetComNumber(6);
    p.Port.Open();
    EXPECT_TRUE(p.Port.Active());
    EXPECT_EQ(p.Seen.back(), "low-latency mode not available");
    EXPECT_EQ(LatencyTimerPath(bare.SlavePath), "");
    p.Port.Close();
}
