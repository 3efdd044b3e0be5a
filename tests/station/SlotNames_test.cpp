// Slot names over fake sysfs trees (two adapters on two USB ports, one
// adapter with two ports), kept in a private config folder across "runs"
// (one TSlotNames each).
#include "app/station/SlotNames.h"

#include "tests/serial/FakeSysfs.h"
#include "tests/serial/TestPty.h"

#include <QFile>
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;

std::string ReadAll(const std::string& Path)
{
    std::ifstream f(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void Write(const std::string& Path, const std::string& Text)
{
    std::ofstream(Path, std::ios::binary) << Text;
}

class SlotNames : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", (Sys.Dir + "/config").c_str(), 1);
        Store = Sys.Dir + "/config/veltrac-gnss-update/slots.conf";
    }
    void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

    // Adapter A on USB port 1-1.2, B on 1-4, as ttyUSB<TtyA> and ttyUSB<TtyB>:
    // the kernel numbers them in plug order.
    void PlugAB(int TtyA, int TtyB)
    {
        TFakeSysfs::TUsb a;
        a.Tty = "ttyUSB" + std::to_string(TtyA);
        a.UsbPort = "1-1.2";
        Sys.AddUsb(a, A.SlavePath);
        TFakeSysfs::TUsb b;
        b.Tty = "ttyUSB" + std::to_string(TtyB);
        b.UsbPort = "1-4";
        Sys.AddUsb(b, B.SlavePath);
    }
    void PlugDual()
    {
        TFakeSysfs::TUsb d;
        d.UsbPort = "1-3";
        d.Tty = "ttyUSB4";
        Sys.AddUsb(d, Dual0.SlavePath);
        d.Tty = "ttyUSB5";
        d.PortNumber = 1;
        Sys.AddUsb(d, Dual1.SlavePath);
    }
    static std::string Key(const char* UsbPorts) { return std::string("pci-0000:00:14.0-usb-0:") + UsbPorts; }

    TFakeSysfs Sys;
    TTestPty A, B, Dual0, Dual1, Bare;
    std::string Store;
};

} // namespace

TEST_F(SlotNames, NumbersStayWithTheConnector)
{
    PlugAB(0, 1);
    {
        TSlotNames run(DefaultSlotStore());
        EXPECT_EQ(run.StorePath(), Store);
        const TSlot a = run.SlotOf(A.SlavePath);
        EXPECT_EQ(a.Key, Key("1.2:1.0-port0"));
        EXPECT_EQ(a.Name, "Slot 1");
        EXPECT_EQ(run.SlotOf(B.SlavePath).Name, "Slot 2");
        EXPECT_EQ(run.SlotOf(A.SlavePath).Name, "Slot 1") << "seen again";
        EXPECT_TRUE(run.TakeWarnings().empty());
    }
    // Plugged the other way round the next day: B is ttyUSB0 now.
    PlugAB(1, 0);
    {
        TSlotNames run;
        EXPECT_EQ(run.SlotOf(B.SlavePath).Name, "Slot 2");
        EXPECT_EQ(run.SlotOf(A.SlavePath).Name, "Slot 1");
    }
    // A day without A and B: the two ports of the dual adapter are two new
    // slots, and Slot 1 and 2 stay taken.
    fs::remove(Sys.Root + "/class/tty/ttyUSB0");
    fs::remove(Sys.Root + "/class/tty/ttyUSB1");
    PlugDual();
    {
        TSlotNames run;
        const TSlot d1 = run.SlotOf(Dual1.SlavePath), d0 = run.SlotOf(Dual0.SlavePath);
        EXPECT_EQ(d1.Key, Key("3:1.0-port1"));
        EXPECT_EQ(d1.Name, "Slot 3");
        EXPECT_EQ(d0.Name, "Slot 4");
        // A pty is numbered for this run only.
        EXPECT_EQ(run.SlotOf(Bare.SlavePath).Name, "Slot 5");
        EXPECT_EQ(run.SlotOf(A.SlavePath).Key, A.SlavePath) << "unplugged: no physical path";
    }
    PlugAB(0, 1);
    TSlotNames run;
    EXPECT_EQ(run.SlotOf(A.SlavePath).Name, "Slot 1");
    EXPECT_EQ(run.SlotOf(Dual0.SlavePath).Name, "Slot 4");
    const std::string kept = ReadAll(Store);
    EXPECT_NE(kept.find(Key("1.2:1.0-port0") + " = Slot 1\n"), std::string::npos) << kept;
    EXPECT_EQ(kept.find("/dev/pts"), std::string::npos) << kept;
    for (const auto& e : fs::directory_iterator(fs::path(Store).parent_path()))
        EXPECT_EQ(e.path().filename(), "slots.conf") << "no temporary file left";
}

TEST_F(SlotNames, NamesFromASlotsFileAndTheOperator)
{
    PlugAB(0, 1);
    PlugDual();
    TTestComDir com;
    com.Link(10, Bare.SlavePath);
    const std::string file = Sys.Dir + "/bench.slots";
    Write(file, "\xEF\xBB\xBF# bench 2, left to right\r\n"
                "\r\n"
                "  /dev/serial/by-path/" +
                    Key("1.2:1.0-port0") + " = Left = front\r\n" + Key("3:1.0-port0") +
                    "=Slot 1\n"
                    "com10 = Simulator\n");
    // A was Slot 2 before the file named it: that number stays A's.
    fs::create_directories(fs::path(Store).parent_path());
    Write(Store, Key("1.2:1.0-port0") + " = Slot 2\n");
    TSlotNames run;
    std::string error;
    ASSERT_TRUE(run.LoadSlotsFile(file, error)) << error;
    EXPECT_EQ(run.SlotOf(A.SlavePath).Name, "Left = front");
    EXPECT_EQ(run.SlotOf(Dual0.SlavePath).Name, "Slot 1");
    EXPECT_EQ(run.SlotOf(B.SlavePath).Name, "Slot 3") << "the lowest free number";
    const TSlot sim = run.SlotOf(com.LinkPath(10));
    EXPECT_EQ(sim.Key, "com10");
    EXPECT_EQ(sim.ComNumber, 10);
    EXPECT_EQ(sim.Name, "Simulator");

    // The operator names a slot; the names of the file stay the file's.
    EXPECT_TRUE(run.Rename(run.SlotOf(B.SlavePath).Key, " Right ", error)) << error;
    EXPECT_FALSE(run.Rename(run.SlotOf(Dual1.SlavePath).Key, "Left = front", error));
    EXPECT_NE(error.find("another slot"), std::string::npos) << error;
    EXPECT_FALSE(run.Rename(Key("1.2:1.0-port0"), "Middle", error));
    EXPECT_NE(error.find(file), std::string::npos) << error;
    EXPECT_FALSE(run.Rename(sim.Key, std::string(41, 'x'), error));
    {
        TSlotNames next;
        EXPECT_EQ(next.SlotOf(B.SlavePath).Name, "Right") << "kept across runs";
        EXPECT_EQ(next.SlotOf(Dual0.SlavePath).Name, "Slot 1") << "numbered without the file";
        EXPECT_EQ(next.SlotOf(com.LinkPath(10)).Name, "COM 10");
        EXPECT_EQ(next.SlotOf(A.SlavePath).Name, "Slot 2");
        EXPECT_TRUE(next.TakeWarnings().empty()) << "no name kept twice";
    }

    com.Link(2, A.SlavePath);
    std::vector<TSlot> seen = {run.SlotOf(B.SlavePath),     {"x", "Slot 10", 0}, run.SlotOf(com.LinkPath(10)),
                               run.SlotOf(com.LinkPath(2)), {"y", "slot 9", 0},  run.SlotOf(Dual0.SlavePath)};
    std::sort(seen.begin(), seen.end(), SlotBefore);
    std::vector<std::string> names;
    for (const TSlot& s : seen)
        names.push_back(s.Name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"COM 2", "Simulator", "Right", "Slot 1", "slot 9", "Slot 10"}));
}

TEST_F(SlotNames, BadSlotsFilesAreRefused)
{
    PlugAB(0, 1);
    const std::string file = Sys.Dir + "/bad.slots";
    const std::string p1 = Key("1.2:1.0-port0"), p2 = Key("4:1.0-port0");
    const std::pair<std::string, std::string> cases[] = {
        {"# ok\n" + p1 + " Left\n", ":2: not \"PATH = NAME\""},
        {p1 + " =\n", ":1: no name"},
        {" = Left\n", ":1: no path"},
        {"/dev/tty USB0 = Left\n", ":1: \"/dev/tty USB0\" is no port path"},
        {p1 + " = A\n/dev/serial/by-path/" + p1 + " = B\n", ":2: " + p1 + " is named already on line 1"},
        {p1 + " = A\n" + p2 + " = A\n", ":2: \"A\" names " + p1 + " already on line 1"},
        {p1 + " = " + std::string(41, 'x') + "\n", ":1: the name is longer than 40 characters"},
        {p1 + " = \xff\xfe\n", ":1: the name is not readable text"},
    };
    for (const auto& [text, why] : cases) {
        Write(file, text);
        TSlotNames run;
        std::string error;
        EXPECT_FALSE(run.LoadSlotsFile(file, error)) << text;
        EXPECT_EQ(error.rfind(file + why, 0), 0u) << error;
        EXPECT_EQ(run.SlotOf(A.SlavePath).Name, "Slot 1") << "nothing taken from a bad file";
    }
    TSlotNames run;
    std::string error;
    EXPECT_FALSE(run.LoadSlotsFile(Sys.Dir + "/missing.slots", error));
    EXPECT_NE(error.find("missing.slots"), std::string::npos) << error;
}

TEST_F(SlotNames, ABadKeptFileLosesNoNames)
{
    PlugAB(0, 1);
    PlugDual();
    fs::create_directories(fs::path(Store).parent_path());
    const std::string corrupt = Key("4:1.0-port0") + " = Right\n\x01\x02garbage\n" + Key("1.2:1.0-port0") +
                                " = Right\n" + Key("3:1.0-port0") + " = Slot 1\n";
    Write(Store, corrupt);
    {
        TSlotNames run;
        const std::vector<std::string> warnings = run.TakeWarnings();
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(Store + ":2: not"), std::string::npos) << warnings[0];
        EXPECT_NE(warnings[0].find(Store + ":3: \"Right\" names"), std::string::npos) << warnings[0];
        EXPECT_EQ(ReadAll(Store + ".bad"), corrupt);
        EXPECT_EQ(run.SlotOf(B.SlavePath).Name, "Right");
        EXPECT_EQ(run.SlotOf(A.SlavePath).Name, "Slot 2");
    }
    const std::string mended = ReadAll(Store);
    EXPECT_NE(mended.find(Key("3:1.0-port0") + " = Slot 1\n"), std::string::npos) << mended;
    EXPECT_NE(mended.find(Key("1.2:1.0-port0") + " = Slot 2\n"), std::string::npos) << mended;

    // A kept file that cannot be read is never overwritten; the run goes on
    // with numbers of its own.
    fs::remove(Store);
    fs::create_directories(Store);
    TSlotNames run;
    EXPECT_EQ(run.SlotOf(A.SlavePath).Name, "Slot 1");
    std::string error;
    EXPECT_FALSE(run.Rename(run.SlotOf(A.SlavePath).Key, "Left", error));
    EXPECT_EQ(run.SlotOf(A.SlavePath).Name, "Slot 1") << "the old name stays";
    const std::vector<std::string> warnings = run.TakeWarnings();
    ASSERT_FALSE(warnings.empty());
    EXPECT_NE(warnings[0].find("cannot read the slot names kept in " + Store), std::string::npos)
        << warnings[0];
    EXPECT_TRUE(run.TakeWarnings().empty()) << "each said once";
    EXPECT_TRUE(fs::is_directory(Store));
}
