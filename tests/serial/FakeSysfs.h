#pragma once
// A private sysfs tree and by-id folder, laid out as the kernel and udev lay
// them out for USB serial adapters, with a pty standing in for each adapter's
// device node. VELTRAC_SYSFS_ROOT, VELTRAC_SERIAL_BY_ID and
// VELTRAC_SERIAL_BY_PATH point at them while the object lives (child
// processes inherit them).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

class TFakeSysfs
{
  public:
    struct TUsb {
        std::string Tty = "ttyUSB0";
        std::string UsbPort = "1-1"; // the USB device folder: bus 1, port 1
        std::string VendorId = "0403", ProductId = "6001";
        std::string Manufacturer, Product, Serial; // empty: the file is missing
        std::string Driver = "ftdi_sio";
        int InterfaceNumber = 0; // the interface "<UsbPort>:1.<n>"
        int PortNumber = 0;      // of a usb-serial port on its interface
        bool Acm = false;        // CDC-ACM: the tty's device is the interface itself
        bool ById = true;        // udev made a by-id link
    };

    TFakeSysfs()
    {
        char tmpl[] = "/tmp/veltrac-sysfs-XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("cannot create a sysfs folder");
        Dir = tmpl;
        Root = Dir + "/sys";
        ByIdDir = Dir + "/serial/by-id";
        ByPathDir = Dir + "/serial/by-path";
        std::filesystem::create_directories(Root + "/class/tty");
        std::filesystem::create_directories(Root + "/dev/char");
        setenv("VELTRAC_SYSFS_ROOT", Root.c_str(), 1);
        setenv("VELTRAC_SERIAL_BY_ID", ByIdDir.c_str(), 1);
        setenv("VELTRAC_SERIAL_BY_PATH", ByPathDir.c_str(), 1);
    }
    ~TFakeSysfs()
    {
        unsetenv("VELTRAC_SYSFS_ROOT");
        unsetenv("VELTRAC_SERIAL_BY_ID");
        unsetenv("VELTRAC_SERIAL_BY_PATH");
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
    TFakeSysfs(const TFakeSysfs&) = delete;
    TFakeSysfs& operator=(const TFakeSysfs&) = delete;

    // Adds the adapter A whose device node is Node; returns its by-id link
    // (empty without one).
    std::string AddUsb(const TUsb& A, const std::string& Node) const
    {
        namespace fs = std::filesystem;
        const std::string pci = Root + "/devices/pci0000:00/0000:00:14.0";
        const std::string usb = pci + "/usb1/" + A.UsbPort;
        const std::string intf = usb + "/" + A.UsbPort + ":1." + std::to_string(A.InterfaceNumber);
        const std::string port = A.Acm ? intf : intf + "/" + A.Tty;
        const std::string tty = port + "/tty/" + A.Tty;
        fs::create_directories(tty);
        fs::create_directories(Root + "/bus/pci");
        fs::create_directories(Root + "/bus/usb");
        Link(Root + "/bus/pci", pci + "/subsystem");
        Link(Root + "/bus/usb", pci + "/usb1/subsystem");
        Link(Root + "/bus/usb", usb + "/subsystem");
        Link(Root + "/bus/usb", intf + "/subsystem");
        File(usb, "idVendor", A.VendorId);
        File(usb, "idProduct", A.ProductId);
        File(usb, "manufacturer", A.Manufacturer);
        File(usb, "product", A.Product);
        File(usb, "serial", A.Serial);
        char number[8];
        std::snprintf(number, sizeof number, "%02x", A.InterfaceNumber & 0xff);
        File(intf, "bInterfaceNumber", number);
        const std::string portSuffix = A.Acm ? "" : "-port" + std::to_string(A.PortNumber);
        if (!A.Acm)
            File(port, "port_number", std::to_string(A.PortNumber));
        const std::string bus = Root + (A.Acm ? "/bus/usb" : "/bus/usb-serial");
        fs::create_directories(bus + "/drivers/" + A.Driver);
        Link(bus, port + "/subsystem");
        Link(bus + "/drivers/" + A.Driver, port + "/driver");
        Link(port, tty + "/device");
        Link(tty, Root + "/class/tty/" + A.Tty);
        LinkDeviceNumber(Node, tty);
        if (!A.ById)
            return {};
        fs::create_directories(ByIdDir);
        const std::string byId = ByIdDir + "/usb-" + A.Manufacturer + "_" + A.Product + "_" + A.Serial +
                                 "-if" + number + portSuffix;
        Link(Node, byId);
        return byId;
    }

    // A UART as kernels from 6.5 show it: the tty below two serial-base
    // devices of a pnp controller whose driver is "serial".
    void AddUart(const std::string& Tty, const std::string& Node) const
    {
        namespace fs = std::filesystem;
        const std::string ctrl = Root + "/devices/pnp0/00:00";
        const std::string port = ctrl + "/00:00:0/00:00:0.0";
        const std::string tty = port + "/tty/" + Tty;
        fs::create_directories(tty);
        fs::create_directories(Root + "/bus/serial-base/drivers/port");
        fs::create_directories(Root + "/bus/serial-base/drivers/ctrl");
        fs::create_directories(Root + "/bus/pnp/drivers/serial");
        Link(Root + "/bus/serial-base", port + "/subsystem");
        Link(Root + "/bus/serial-base/drivers/port", port + "/driver");
        Link(Root + "/bus/serial-base", ctrl + "/00:00:0/subsystem");
        Link(Root + "/bus/serial-base/drivers/ctrl", ctrl + "/00:00:0/driver");
        Link(Root + "/bus/pnp", ctrl + "/subsystem");
        Link(Root + "/bus/pnp/drivers/serial", ctrl + "/driver");
        Link(port, tty + "/device");
        Link(tty, Root + "/class/tty/" + Tty);
        LinkDeviceNumber(Node, tty);
    }

    std::string Dir, Root, ByIdDir, ByPathDir;

  private:
    static void File(const std::string& Folder, const char* Name, const std::string& Text)
    {
        if (!Text.empty())
            std::ofstream(Folder + "/" + Name) << Text << "\n";
    }
    static void Link(const std::string& Target, const std::string& Path)
    {
        ::unlink(Path.c_str());
        if (::symlink(Target.c_str(), Path.c_str()) != 0)
            throw std::runtime_error("cannot link " + Path);
    }
    // <root>/dev/char/MAJ:MIN, by which the kernel finds a node's tty.
    void LinkDeviceNumber(const std::string& Node, const std::string& Tty) const
    {
        struct stat st;
        if (::stat(Node.c_str(), &st) != 0)
            throw std::runtime_error("no device node " + Node);
        Link(Tty, Root + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                      std::to_string(minor(st.st_rdev)));
    }
};
