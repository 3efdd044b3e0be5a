// The folder watch behind the port list: a burst of changes is one signal,
// using the ports is none, and folders that appear later are watched.
#include "serial/PortWatcher.h"

#include "FakeSysfs.h"
#include "TestPty.h"
#include "tests/common/QtWait.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

TEST(PortWatcher, ABurstIsOneSignalAndQuietStaysQuiet)
{
    // Link targets are plain files in a private folder, so that ptys other
    // programs open meanwhile cannot stir the watch.
    TTestComDir dir;
    TFakeSysfs sys;
    const std::string devices = sys.Dir + "/devices";
    std::filesystem::create_directories(devices);
    // As /dev/serial is to /dev/serial/by-id.
    std::filesystem::create_directories(std::filesystem::path(sys.ByIdDir).parent_path());
    const std::string first = devices + "/ttyUSB0";
    ::close(::open(first.c_str(), O_CREAT | O_WRONLY, 0600));
    dir.Link(1, first);

    TPortWatcher w;
    int changed = 0;
    QObject::connect(&w, &TPortWatcher::PortsChanged, [&] { ++changed; });
    w.Watch(ComPortMap());
    EXPECT_TRUE(w.Folders().contains(QString::fromStdString(dir.Dir)));
    EXPECT_TRUE(w.Folders().contains(QString::fromStdString(devices))) << "where the links lead";
    EXPECT_FALSE(w.Folders().contains(QString::fromStdString(sys.ByIdDir))) << "not there yet";

    // A node, its mode, its links: udev's way of plugging in an adapter.
    for (int i = 1; i <= 8; ++i) {
        const std::string node = devices + "/ttyUSB" + std::to_string(i);
        ::close(::open(node.c_str(), O_CREAT | O_WRONLY, 0600));
        ::chmod(node.c_str(), 0660);
        dir.Link(10 + i, node);
    }
    ASSERT_TRUE(WaitFor([&] { return changed > 0; }));
    Pump(3 * TPortWatcher::SettleMs);
    EXPECT_EQ(changed, 1);

    // Opening, writing and closing what a port leads to is no change at all
    // (a pty's node cannot be copied into a private folder; a plain file
    // stands in for it).
    changed = 0;
    for (int i = 0; i < 20; ++i) {
        const int fd = ::open(dir.LinkPath(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "x", 1), 1);
        ::close(fd);
    }
    Pump(3 * TPortWatcher::SettleMs);
    EXPECT_EQ(changed, 0);

    // udev's by-id folder appears with the first adapter; the next Watch takes it in.
    std::filesystem::create_directories(sys.ByIdDir);
    ASSERT_TRUE(WaitFor([&] { return changed > 0; })) << "seen in its parent folder";
    w.Watch(ComPortMap());
    EXPECT_TRUE(w.Folders().contains(QString::fromStdString(sys.ByIdDir)));
    changed = 0;
    ::symlink(first.c_str(), (sys.ByIdDir + "/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0").c_str());
    EXPECT_TRUE(WaitFor([&] { return changed == 1; }));
}
