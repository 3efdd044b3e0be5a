// Naming a port's adapter from sysfs and udev's by-id links, over a fake tree
// whose device nodes are real ptys, and once over this machine's own /sys.
#include "serial/PortAdapter.h"

#include "FakeSysfs.h"
#include "TestPty.h"

#include <gtest/gtest.h>

TEST(PortAdapter, UsbAdaptersAreToldApart)
{
    TFakeSysfs sys;
    TTestComDir dir;
    TTestPty ftdi, ch340, acm, bare;
    TFakeSysfs::TUsb a;
    a.Manufacturer = "FTDI";
    a.Product = "FT232R USB UART";
    a.Serial = "A1B2C3";
    const std::string ftdiById = sys.AddUsb(a, ftdi.SlavePath);
    // Two cheap adapters of one kind carry no serial number: only the USB
    // port they are plugged into tells them apart.
    TFakeSysfs::TUsb b;
    b.Tty = "ttyUSB1";
    b.UsbPort = "1-2.3";
    b.VendorId = "1a86";
    b.ProductId = "7523";
    b.Product = "USB Serial";
    b.Driver = "ch341";
    b.ById = false;
    sys.AddUsb(b, ch340.SlavePath);
    TFakeSysfs::TUsb c;
    c.Tty = "ttyACM0";
    c.UsbPort = "2-1";
    c.VendorId = "1546";
    c.ProductId = "01a8";
    c.Manufacturer = "u-blox AG";
    c.Serial = "0042";
    c.Driver = "cdc_acm";
    c.Acm = true;
    sys.AddUsb(c, acm.SlavePath);
    dir.Link(33, ftdi.SlavePath);

    // Reached through a port-map link, by the node's device number.
    const TPortAdapter A = DescribePortAdapter(dir.LinkPath(33));
    EXPECT_EQ(A.Tty, "ttyUSB0");
    EXPECT_EQ(A.Subsystem, "usb-serial");
    EXPECT_EQ(A.Driver, "ftdi_sio");
    EXPECT_EQ(A.VendorId, "0403");
    EXPECT_EQ(A.ProductId, "6001");
    EXPECT_EQ(A.Manufacturer, "FTDI");
    EXPECT_EQ(A.Product, "FT232R USB UART");
    EXPECT_EQ(A.Serial, "A1B2C3");
    EXPECT_EQ(A.UsbPort, "1-1");
    EXPECT_EQ(A.ById, ftdiById);
    EXPECT_EQ(AdapterSummary(A), "FT232R USB UART, FTDI, A1B2C3, ftdi_sio");
    EXPECT_EQ(DescribePortAdapter(ftdiById).Tty, "ttyUSB0") << "the by-id link itself";

    const TPortAdapter B = DescribePortAdapter(ch340.SlavePath);
    EXPECT_EQ(B.Tty, "ttyUSB1");
    EXPECT_TRUE(B.Manufacturer.empty());
    EXPECT_TRUE(B.ById.empty());
    EXPECT_EQ(AdapterSummary(B), "USB Serial, at USB 1-2.3, ch341");

    const TPortAdapter C = DescribePortAdapter(acm.SlavePath);
    EXPECT_EQ(C.Tty, "ttyACM0");
    EXPECT_EQ(C.Subsystem, "usb");
    EXPECT_EQ(C.Driver, "cdc_acm");
    EXPECT_EQ(AdapterSummary(C), "USB 1546:01a8, u-blox AG, 0042, cdc_acm");
    EXPECT_NE(C.ById.find("usb-u-blox AG__0042-if00"), std::string::npos) << C.ById;

    // A pty the tree does not know, and a missing device.
    const TPortAdapter D = DescribePortAdapter(bare.SlavePath);
    EXPECT_FALSE(D.Known());
    EXPECT_EQ(AdapterSummary(D), "");
    EXPECT_FALSE(DescribePortAdapter("/dev/pts/999999").Known());
    EXPECT_FALSE(DescribePortAdapter("").Known());
}

TEST(PortAdapter, TheTtysDeviceFolderHoldsItsAttributes)
{
    TFakeSysfs sys;
    TTestPty pty;
    TFakeSysfs::TUsb a;
    a.Serial = "X1";
    sys.AddUsb(a, pty.SlavePath);
    const std::string folder = TtySysfsDevice("ttyUSB0");
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(folder.ends_with("/1-1/1-1:1.0/ttyUSB0")) << folder;
    EXPECT_EQ(TtyName(pty.SlavePath), "ttyUSB0");
    for (const char* bad : {"", "ttyUSB7", "..", "../class", "ttyUSB0/../.."})
        EXPECT_EQ(TtySysfsDevice(bad), "") << bad;
}

TEST(PortAdapter, AUartNamesItsController)
{
    TFakeSysfs sys;
    TTestPty pty;
    sys.AddUart("ttyS0", pty.SlavePath);
    const TPortAdapter A = DescribePortAdapter(pty.SlavePath);
    EXPECT_EQ(A.Tty, "ttyS0");
    EXPECT_FALSE(A.Usb());
    EXPECT_EQ(A.Subsystem, "pnp");
    EXPECT_EQ(A.Driver, "serial");
    EXPECT_EQ(AdapterSummary(A), "pnp, serial");
    EXPECT_EQ(PhysicalPortPath(pty.SlavePath), "") << "only USB ports have udev's path";
}

TEST(PortAdapter, ThisMachinesSysfs)
{
    unsetenv("VELTRAC_SYSFS_ROOT");
    EXPECT_EQ(SysfsRoot(), "/sys");
    EXPECT_EQ(SerialByIdDir(), "/dev/serial/by-id");
    if (::access("/dev/ttyS0", F_OK) != 0 || ::access("/sys/class/tty/ttyS0", F_OK) != 0)
        GTEST_SKIP() << "no ttyS0 here";
    const TPortAdapter A = DescribePortAdapter("/dev/ttyS0");
    EXPECT_EQ(A.Tty, "ttyS0");
    EXPECT_FALSE(A.Usb());
    EXPECT_NE(A.Subsystem, "serial-base") << "the controller's subsystem, not the tty core's";
    EXPECT_FALSE(AdapterSummary(A).empty());
}

TEST(PortAdapter, ThePhysicalPathNamesTheConnector)
{
    TFakeSysfs sys;
    TTestPty hub, root, dual0, dual1, acm, bare;
    TFakeSysfs::TUsb a;
    a.UsbPort = "1-1.2";
    sys.AddUsb(a, hub.SlavePath);
    TFakeSysfs::TUsb b;
    b.Tty = "ttyUSB1";
    b.UsbPort = "1-4";
    sys.AddUsb(b, root.SlavePath);
    // Two ports on one interface of one adapter: two connectors.
    TFakeSysfs::TUsb d;
    d.UsbPort = "1-3";
    d.InterfaceNumber = 1;
    d.Tty = "ttyUSB2";
    sys.AddUsb(d, dual0.SlavePath);
    d.Tty = "ttyUSB3";
    d.PortNumber = 1;
    sys.AddUsb(d, dual1.SlavePath);
    TFakeSysfs::TUsb c;
    c.Tty = "ttyACM0";
    c.UsbPort = "1-1.3";
    c.Acm = true;
    c.Driver = "cdc_acm";
    sys.AddUsb(c, acm.SlavePath);

    EXPECT_EQ(PhysicalPortPath(hub.SlavePath), "pci-0000:00:14.0-usb-0:1.2:1.0-port0");
    EXPECT_EQ(PhysicalPortPath(root.SlavePath), "pci-0000:00:14.0-usb-0:4:1.0-port0");
    EXPECT_EQ(PhysicalPortPath(dual0.SlavePath), "pci-0000:00:14.0-usb-0:3:1.1-port0");
    EXPECT_EQ(PhysicalPortPath(dual1.SlavePath), "pci-0000:00:14.0-usb-0:3:1.1-port1");
    EXPECT_EQ(PhysicalPortPath(acm.SlavePath), "pci-0000:00:14.0-usb-0:1.3:1.0") << "no port number";
    EXPECT_EQ(PhysicalPortPath(bare.SlavePath), "") << "a pty is plugged in nowhere";
    EXPECT_EQ(PhysicalPortPath("/dev/pts/999999"), "");

    // udev's link wins where there is one: it is what the operator sees.
    std::filesystem::create_directories(sys.ByPathDir);
    const std::string link = sys.ByPathDir + "/platform-xhci-hcd.1.auto-usb-0:1.2:1.0-port0";
    ASSERT_EQ(::symlink(hub.SlavePath.c_str(), link.c_str()), 0);
    EXPECT_EQ(PhysicalPortPath(hub.SlavePath), "platform-xhci-hcd.1.auto-usb-0:1.2:1.0-port0");
    EXPECT_EQ(PhysicalPortPath(link), "platform-xhci-hcd.1.auto-usb-0:1.2:1.0-port0");
    EXPECT_EQ(PhysicalPortPath(root.SlavePath), "pci-0000:00:14.0-usb-0:4:1.0-port0");
}
