// The port map and port probing, with ports plugged in through
// VELTRAC_COM_DIR links to real ptys.
#include "serial/ComPort.h"
#include "serial/PortControls.h"
#include "serial/PosixSerial.h"

#include "TestPty.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(PortMap, ComFolderLinksAreThePorts)
{
    TTestComDir dir;
    TTestPty a, b;
    dir.Link(1, a.SlavePath);
    dir.Link(12, b.SlavePath);
    dir.Link(1025, a.SlavePath); // beyond Wine's own numbering
    for (const char* bad : {"com0", "com", "comX", "com5a", "tty5", "com012", "com65536"})
        ::symlink(a.SlavePath.c_str(), (dir.Dir + "/" + bad).c_str());
    ::symlink(a.SlavePath.c_str(), (dir.Dir + "/COM3").c_str());

    const TComPortMap map = ComPortMap();
    EXPECT_EQ(map, (TComPortMap{{1, dir.LinkPath(1)},
                                {3, dir.Dir + "/COM3"},
                                {12, dir.LinkPath(12)},
                                {1025, dir.LinkPath(1025)}}));
    EXPECT_EQ(ComPortDevicePath(12), dir.LinkPath(12));
    EXPECT_EQ(ComPortDevicePath(2), "");
}

TEST(PortMap, DefaultNumberingFollowsWine)
{
    unsetenv("VELTRAC_COM_DIR");
    const TComPortMap map = ComPortMap();
    // Numbers count from 1 without gaps, ttyS before ttyUSB before ttyACM,
    // each family from index 0 up to its first missing node.
    int expected = 1;
    int family = 0;
    int index = 0;
    const std::string families[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    for (const auto& [n, path] : map) {
        EXPECT_EQ(n, expected++);
        while (family < 3 && path != families[family] + std::to_string(index)) {
            ++family;
            index = 0;
        }
        ASSERT_LT(family, 3) << path << " out of order";
        ++index;
        EXPECT_EQ(::access(path.c_str(), F_OK), 0) << path;
    }
    if (::access("/dev/ttyS0", F_OK) == 0) {
        ASSERT_FALSE(map.empty());
        EXPECT_EQ(map.begin()->second, "/dev/ttyS0");
    }
}

TEST(PortProbe, ThreeStates)
{
    TTestComDir dir;
    TTestPty free, held;
    dir.Link(1, free.SlavePath);
    dir.Link(2, held.SlavePath);
    dir.Link(4, "/dev/pts/999999");
    const std::string file = dir.Dir + "/plain";
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    dir.Link(5, file);

    TComPort holder;
    holder.SetComNumber(2);
    holder.Open();

    EXPECT_EQ(ProbeComPort(1), 1u + psFree * 65536);
    EXPECT_EQ(ProbeComPort(2), 2u + psInUse * 65536) << "held by a port of this very process";
    EXPECT_EQ(ProbeComPort(3), 3u + psMissing * 65536) << "no link";
    EXPECT_EQ(ProbeComPort(4), 4u + psMissing * 65536) << "dangling link";
    EXPECT_EQ(ProbeComPort(5), 5u + psInUse * 65536) << "exists, but is no terminal";
    EXPECT_EQ(ProbePortNumber(ProbeComPort(1025)), 1025);

    // Probing lets the free port go again, and leaves the held one alone.
    TComPort p1;
    p1.SetComNumber(1);
    EXPECT_NO_THROW(p1.Open());
    EXPECT_TRUE(holder.Active());
    EXPECT_EQ(ProbePortState(ProbeComPort(1)), psInUse);
}

TEST(PortProbe, ListsFollowTheOptions)
{
    TTestComDir dir;
    TTestPty free, held;
    dir.Link(1, free.SlavePath);
    dir.Link(3, held.SlavePath);
    TComPort holder;
    holder.SetComNumber(3);
    holder.Open();

    auto numbers = [](const std::vector<uint32_t>& v) {
        std::vector<int> n;
        for (uint32_t x : v)
            n.push_back(ProbePortNumber(x));
        return n;
    };
    EXPECT_EQ(numbers(ProbePortList(4, {pcCheckExist})), (std::vector<int>{1, 3}));
    EXPECT_EQ(numbers(ProbePortList(4, {pcCheckExist, pcDisableOpen})), (std::vector<int>{1}));
    const auto all = ProbePortList(4, {});
    EXPECT_EQ(numbers(all), (std::vector<int>{1, 2, 3, 4})) << "without pcCheckExist every number";
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(ProbePortState(all[1]), psMissing) << "still probed for its state";
    EXPECT_EQ(ProbePortState(all[2]), psInUse);
    EXPECT_TRUE(ProbePortList(0, {}).empty());
    EXPECT_TRUE(ProbePortList(-3, {}).empty());
    EXPECT_EQ(numbers(ProbePortList(1025, {pcCheckExist})), (std::vector<int>{1, 3}));
}

TEST(PortProbe, APortOfThisProcessIsNeverOpenedAgain)
{
    TTestComDir dir;
    TTestPty free, held, other;
    dir.Link(1, free.SlavePath);
    dir.Link(2, held.SlavePath);
    dir.Link(7, held.SlavePath); // a second name for the same device
    TComPort holder;
    holder.SetComNumber(2);
    holder.Open();
    const TComPortMap map = ComPortMap();

    uint64_t opens = PosixProbeOpens();
    for (int n : {2, 7}) {
        TPortProbeDetail d;
        EXPECT_EQ(ProbePortState(ProbeComPort(n, map, &d)), psInUse) << n;
        EXPECT_TRUE(d.HeldHere) << n;
        EXPECT_FALSE(d.NoPermission);
    }
    EXPECT_EQ(PosixProbeOpens(), opens) << "held by this process: not opened";

    // A scan opens each port once; a second one only what changed since.
    TPortStatusMap ports = ScanPorts(map);
    EXPECT_EQ(PosixProbeOpens(), opens + 1) << "COM 1 only";
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ProbePortState(ports[1].Value), psFree);
    EXPECT_TRUE(ports[2].Detail.HeldHere);
    opens = PosixProbeOpens();
    ports = ScanPorts(map, ports);
    EXPECT_EQ(PosixProbeOpens(), opens) << "nothing changed";
    EXPECT_EQ(ProbePortState(ports[1].Value), psFree) << "kept from the last scan";

    // Another device behind COM 1, and the held one let go: both probed again.
    dir.Link(1, other.SlavePath);
    holder.Close();
    ports = ScanPorts(ComPortMap(), ports);
    EXPECT_EQ(PosixProbeOpens(), opens + 3);
    EXPECT_EQ(ProbePortState(ports[2].Value), psFree);
    EXPECT_FALSE(ports[7].Detail.HeldHere);

    // A device whose mode changes (udev sets its group after creating it).
    opens = PosixProbeOpens();
    ASSERT_EQ(::chmod(free.SlavePath.c_str(), 0660), 0);
    dir.Link(1, free.SlavePath);
    ports = ScanPorts(ComPortMap(), ports);
    ASSERT_EQ(::chmod(free.SlavePath.c_str(), 0600), 0);
    ports = ScanPorts(ComPortMap(), ports);
    EXPECT_EQ(PosixProbeOpens(), opens + 2);
    dir.Unlink(1);
    ports = ScanPorts(ComPortMap(), ports);
    EXPECT_EQ(ports.count(1), 0u);
}

TEST(OpenFailure, PermissionSaysWhyAndHowToFix)
{
    TTestComDir dir;
    const std::string file = dir.Dir + "/node";
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    // A group that may use the device: joining it is the fix.
    const group* dialout = getgrnam("dialout");
    const gid_t gid = geteuid() == 0 && dialout ? dialout->gr_gid : getegid();
    const std::string gname = getgrgid(gid) ? getgrgid(gid)->gr_name : std::to_string(gid);
    ASSERT_EQ(::chown(file.c_str(), static_cast<uid_t>(-1), gid), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0660), 0);
    for (int e : {EACCES, EPERM}) {
        const std::string text = OpenFailureText(PosixOpenFailure(e), "COM5", dir.LinkPath(5));
        // The link is named as the device it leads to.
        dir.Link(5, file);
        const std::string viaLink = OpenFailureText(PosixOpenFailure(e), "COM5", dir.LinkPath(5));
        EXPECT_TRUE(viaLink.starts_with("Can't open device COM5: permission denied on " + file + " ("))
            << viaLink;
        EXPECT_NE(viaLink.find(":" + gname + ", mode 0660). Add your user to the group " + gname +
                               ": sudo usermod -aG " + gname + " $USER, then log out and in again"),
                  std::string::npos)
            << viaLink;
        EXPECT_NE(text.find("sudo usermod -aG dialout $USER"), std::string::npos)
            << "no node to look at: " << text;
        dir.Unlink(5);
    }
    // No group may use it: the usual ownership comes first.
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    const std::string closed = OpenFailureText(porNoPermission, "/dev/ttyUSB0", file);
    EXPECT_TRUE(closed.starts_with("Can't open device /dev/ttyUSB0: permission denied on " + file)) << closed;
    EXPECT_NE(closed.find("mode 0600). Serial ports are normally root:dialout 0660"), std::string::npos)
        << closed;
    EXPECT_NE(closed.find("sudo usermod -aG dialout $USER"), std::string::npos) << closed;

    // The other failures keep their plain texts.
    EXPECT_EQ(OpenFailureText(PosixOpenFailure(ENOENT), "COM5", file), "Invalid port number (COM5)");
    EXPECT_EQ(OpenFailureText(PosixOpenFailure(ENXIO), "COM5", file), "Invalid port number (COM5)");
    EXPECT_EQ(OpenFailureText(PosixOpenFailure(EBUSY), "COM5", file), "Can't open device COM5");
    EXPECT_EQ(OpenFailureText(porCantOpen, "COM5", file), "Can't open device COM5");
}

// The real open by a user who may not: root drops to nobody in a child
// process; anyone else takes the permission away from their own pty.
TEST(OpenFailure, ARealOpenWithoutPermission)
{
    TTestComDir dir;
    ASSERT_EQ(::chmod(dir.Dir.c_str(), 0755), 0);
    TTestPty pty;
    dir.Link(5, pty.SlavePath);
    const bool root = geteuid() == 0;
    if (!root) {
        ASSERT_EQ(::chmod(pty.SlavePath.c_str(), 0), 0);
    }
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(out[0]);
        if (root && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        TPortProbeDetail d;
        const uint32_t v = ProbeComPort(5, ComPortMap(), &d);
        std::string report = std::to_string(ProbePortState(v)) + (d.NoPermission ? " denied\n" : " other\n");
        try {
            TComPortCore core;
            core.OpenComPort(5);
            report += "opened";
        } catch (const EComPortCoreError& E) {
            report += E.what();
        }
        [[maybe_unused]] const ssize_t n = ::write(out[1], report.data(), report.size());
        _exit(0);
    }
    ::close(out[1]);
    std::string report;
    char buf[1024];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
        report.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(report.starts_with("0 denied\n")) << "in use, for lack of permission: " << report;
    EXPECT_NE(report.find("Can't open device COM5: permission denied on " + pty.SlavePath + " ("),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("sudo usermod -aG dialout $USER, then log out and in again"), std::string::npos)
        << report;
}

// The POSIX layer directly, where the component does not show the effect.
TEST(PosixSerial, ExclusiveOpenAndItsRelease)
{
    TTestPty pty;
    TPosixOpenResult r;
    const int fd = PosixOpenPort(pty.SlavePath, r);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(r, porOk);
    int excl = 0;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    EXPECT_LT(PosixOpenPort(pty.SlavePath, r), 0);
    EXPECT_EQ(r, porCantOpen);
    PosixClosePort(fd);

    // The exclusive flag of a pty outlives the descriptor unless it is lifted.
    const int probe = ::open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    EXPECT_EQ(ioctl(probe, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    ::close(probe);

    EXPECT_LT(PosixOpenPort("/nonexistent/tty", r), 0);
    EXPECT_EQ(r, porNoSuchPort);
}

TEST(PosixSerial, RecordsTheLineCannotTake)
{
    TTestPty pty;
    TPosixOpenResult r;
    const int fd = PosixOpenPort(pty.SlavePath, r);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(PosixSetRawMode(fd));
    TDCB d{};
    d.DCBlength = 28;
    d.BaudRate = 56000;
    d.ByteSize = 8;
    d.Flags = DCB_fBinary | DCB_fDtrControlEnable | DCB_fRtsControlEnable;
    d.XonChar = 17;
    d.XoffChar = 19;
    ASSERT_TRUE(PosixApplyDCB(fd, d));

    auto refused = [&](TDCB bad) {
        if (PosixApplyDCB(fd, bad))
            return false;
        unsigned in = 0, out = 0;
        return MasterRate(pty.Master, in, out) && in == 56000 && out == 56000;
    };
    TDCB bad = d;
    bad.ByteSize = 4;
    EXPECT_TRUE(refused(bad)) << "4 data bits";
    bad = d;
    bad.StopBits = ONE5STOPBITS;
    EXPECT_TRUE(refused(bad)) << "1.5 stop bits with 8 data bits";
    bad = d;
    bad.BaudRate = 0;
    EXPECT_TRUE(refused(bad)) << "rate 0";
    bad = d;
    bad.Flags |= DCB_fDsrSensitivity;
    EXPECT_TRUE(refused(bad)) << "DSR sensitivity";
    bad = d;
    bad.Flags |= DCB_fNull;
    EXPECT_TRUE(refused(bad)) << "stripping NUL bytes";
    bad = d;
    bad.BaudRate = 9600;
    bad.ByteSize = 7;
    EXPECT_TRUE(refused(bad)) << "7 bits on a pty, and the rate goes back with the rest";

    // What the device holds, read back as a record.
    TDCB back{};
    back.XonLim = 77;
    ASSERT_TRUE(PosixReadDCB(fd, back));
    EXPECT_EQ(back.DCBlength, 28u);
    EXPECT_EQ(back.BaudRate, 56000u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, ONESTOPBIT);
    EXPECT_EQ(back.XonChar, 17);
    EXPECT_EQ(back.XoffChar, 19);
    EXPECT_EQ(back.XonLim, 77) << "fields termios does not hold are kept";
    PosixClosePort(fd);
}

TEST(PosixSerial, LineEventsFromModemStatusAndCounters)
{
    EXPECT_EQ(ModemStatusEvents(0, 0), 0u);
    EXPECT_EQ(ModemStatusEvents(0, MS_CTS_ON), EV_CTS);
    EXPECT_EQ(ModemStatusEvents(MS_CTS_ON | MS_DSR_ON, MS_CTS_ON), EV_DSR);
    EXPECT_EQ(ModemStatusEvents(MS_RLSD_ON, 0), EV_RLSD);
    EXPECT_EQ(ModemStatusEvents(0, MS_RING_ON), EV_RING);
    EXPECT_EQ(ModemStatusEvents(MS_RING_ON, 0), 0u) << "a ring is the line coming on";
    EXPECT_EQ(ModemStatusEvents(0, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON),
              EV_CTS | EV_DSR | EV_RLSD | EV_RING);

    TPosixLineCounts a{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(ErrorCountBits(a, a), 0u);
    TPosixLineCounts b = a;
    b.Frame++;
    b.Parity++;
    EXPECT_EQ(ErrorCountBits(a, b), CE_FRAME | CE_RXPARITY);
    b = a;
    b.Overrun++;
    b.Brk++;
    b.BufOverrun++;
    b.Rng++;
    EXPECT_EQ(ErrorCountBits(a, b), CE_OVERRUN | CE_BREAK | CE_RXOVER);
}
