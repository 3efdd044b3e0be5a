#include "serial/PortAdapter.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace
{

std::string EnvOr(const char* Name, const char* Default)
{
    const char* v = std::getenv(Name);
    return v && *v ? std::string(v) : std::string(Default);
}

std::string Canonical(const fs::path& P)
{
    std::error_code ec;
    const fs::path c = fs::canonical(P, ec);
    return ec ? std::string() : c.string();
}

bool Exists(const fs::path& P)
{
    std::error_code ec;
    return fs::exists(P, ec);
}

// The first line of a sysfs attribute, without surrounding blanks; empty
// when the file is missing. Descriptor strings come from the device, so the
// length is bounded.
std::string Attribute(const fs::path& Folder, const char* Name)
{
    std::ifstream f(Folder / Name, std::ios::binary);
    if (!f)
        return {};
    std::string line;
    std::getline(f, line);
    if (line.size() > 256)
        line.resize(256);
    const auto blank = [](unsigned char c) { return c <= ' '; };
    while (!line.empty() && blank(static_cast<unsigned char>(line.back())))
        line.pop_back();
    std::size_t i = 0;
    while (i < line.size() && blank(static_cast<unsigned char>(line[i])))
        ++i;
    return line.substr(i);
}

// The name a sysfs link leads to ("ftdi_sio" for …/drivers/ftdi_sio).
std::string LinkName(const fs::path& Link)
{
    std::error_code ec;
    const fs::path target = fs::read_symlink(Link, ec);
    return ec ? std::string() : target.filename().string();
}

bool Below(const std::string& Path, const std::string& Root)
{
    return Path.size() > Root.size() && Path.compare(0, Root.size(), Root) == 0 && Path[Root.size()] == '/';
}

// The first link in Dir (udev's by-id or by-path folder) that leads to the
// resolved Device, in name order so that the choice is stable; empty when none.
std::string LinkTo(const std::string& Dir, const std::string& Device)
{
    std::error_code ec;
    std::vector<std::string> links;
    for (fs::directory_iterator it(Dir, ec), end; !ec && it != end; it.increment(ec))
        links.push_back(it->path().filename().string());
    std::sort(links.begin(), links.end());
    for (const std::string& name : links)
        if (Canonical(fs::path(Dir) / name) == Device)
            return (fs::path(Dir) / name).string();
    return {};
}

} // namespace

std::string SysfsRoot()
{
    return EnvOr("VELTRAC_SYSFS_ROOT", "/sys");
}

std::string SerialByIdDir()
{
    return EnvOr("VELTRAC_SERIAL_BY_ID", "/dev/serial/by-id");
}

std::string SerialByPathDir()
{
    return EnvOr("VELTRAC_SERIAL_BY_PATH", "/dev/serial/by-path");
}

std::string TtyName(const std::string& DevicePath, const std::string& Root)
{
    const std::string device = Canonical(DevicePath);
    if (device.empty())
        return {};
    const fs::path classTty = fs::path(Root) / "class" / "tty";
    struct stat st;
    if (::stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
        // The device number finds the tty whatever the node is called.
        const fs::path byNumber =
            fs::path(Root) / "dev" / "char" /
            (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
        const std::string target = Canonical(byNumber);
        if (!target.empty()) {
            const std::string name = fs::path(target).filename().string();
            if (Exists(classTty / name))
                return name;
        }
    }
    const std::string name = fs::path(device).filename().string();
    return !name.empty() && Exists(classTty / name) ? name : std::string();
}

std::string TtySysfsDevice(const std::string& TtyName, const std::string& Root)
{
    if (TtyName.empty() || TtyName.find('/') != std::string::npos || TtyName == "." || TtyName == "..")
        return {};
    return Canonical(fs::path(Root) / "class" / "tty" / TtyName / "device");
}

std::string LatencyTimerPath(const std::string& DevicePath, const std::string& Root)
{
    const std::string folder = TtySysfsDevice(TtyName(DevicePath, Root), Root);
    if (folder.empty())
        return {};
    const fs::path timer = fs::path(folder) / "latency_timer";
    return Exists(timer) ? timer.string() : std::string();
}

int ReadLatencyTimer(const std::string& Path)
{
    if (Path.empty())
        return -1;
    const fs::path p(Path);
    const std::string text = Attribute(p.parent_path(), p.filename().c_str());
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
        return -1;
    return std::stoi(text);
}

bool WriteLatencyTimer(const std::string& Path, int Ms, std::string& Why)
{
    // No O_CREAT: a timer that is gone (the adapter was unplugged) stays gone.
    const int fd = ::open(Path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        Why = std::strerror(errno);
        return false;
    }
    const std::string text = std::to_string(Ms) + "\n";
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int e = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) {
        Why = n < 0 ? std::strerror(e) : "short write";
        return false;
    }
    return true;
}

TPortAdapter DescribePortAdapter(const std::string& DevicePath, const std::string& Root,
                                 const std::string& ByIdDir)
{
    TPortAdapter a;
    const std::string device = Canonical(DevicePath);
    if (device.empty())
        return a;

    a.ById = LinkTo(ByIdDir, device);
    a.Tty = TtyName(device, Root);
    const std::string folder = TtySysfsDevice(a.Tty, Root);
    const std::string root = Canonical(Root);
    if (folder.empty() || root.empty())
        return a;
    a.Subsystem = LinkName(fs::path(folder) / "subsystem");
    a.Driver = LinkName(fs::path(folder) / "driver");

    // A usb-serial port sits below its USB interface, a CDC-ACM port is the
    // interface; the USB device is the interface's parent. Never leave the root.
    fs::path p = folder;
    bool haveInterface = false;
    for (int level = 0; level < 4 && Below(p.string(), root); ++level, p = p.parent_path()) {
        if (!haveInterface && Exists(p / "bInterfaceNumber")) {
            haveInterface = true;
            a.Interface = Attribute(p, "interface");
        }
        if (Exists(p / "idVendor")) {
            a.VendorId = Attribute(p, "idVendor");
            a.ProductId = Attribute(p, "idProduct");
            a.Manufacturer = Attribute(p, "manufacturer");
            a.Product = Attribute(p, "product");
            a.Serial = Attribute(p, "serial");
            a.UsbPort = p.filename().string();
            break;
        }
    }

    // Since kernel 6.5 a UART's tty hangs below "serial-base" devices whose
    // driver says nothing; the controller they belong to does.
    p = folder;
    for (int level = 0; level < 4 && a.Subsystem == "serial-base"; ++level) {
        p = p.parent_path();
        if (!Below(p.string(), root))
            break;
        const std::string subsystem = LinkName(p / "subsystem");
        if (subsystem.empty() || subsystem == "serial-base")
            continue;
        a.Subsystem = subsystem;
        a.Driver = LinkName(p / "driver");
    }
    return a;
}

std::string AdapterSummary(const TPortAdapter& A)
{
    std::vector<std::string> parts;
    if (A.Usb()) {
        parts.push_back(!A.Product.empty() ? A.Product : "USB " + A.VendorId + ":" + A.ProductId);
        if (!A.Manufacturer.empty())
            parts.push_back(A.Manufacturer);
        parts.push_back(!A.Serial.empty() ? A.Serial : "at USB " + A.UsbPort);
    } else if (!A.Subsystem.empty()) {
        parts.push_back(A.Subsystem);
    }
    if (!A.Driver.empty())
        parts.push_back(A.Driver);
    std::string s;
    for (const std::string& part : parts)
        s += (s.empty() ? "" : ", ") + part;
    return s;
}

std::string PhysicalPortPath(const std::string& DevicePath, const std::string& Root,
                             const std::string& ByPathDir)
{
    const std::string device = Canonical(DevicePath);
    if (device.empty())
        return {};
    const std::string link = LinkTo(ByPathDir, device);
    if (!link.empty())
        return fs::path(link).filename().string();

    // Without udev, its ID_PATH built the way udev's path_id builds it, so
    // that a slot keeps its key whether the link is there or not.
    const std::string folder = TtySysfsDevice(TtyName(device, Root), Root);
    const std::string root = Canonical(Root);
    if (folder.empty() || root.empty())
        return {};
    fs::path intf = folder;
    for (int level = 0; level < 2 && !Exists(intf / "bInterfaceNumber"); ++level)
        intf = intf.parent_path();
    if (!Below(intf.string(), root) || !Exists(intf / "bInterfaceNumber"))
        return {}; // not USB: no by-path link either
    // "1-1.2:1.0": bus 1, hub port 1, its port 2, configuration 1, interface
    // 0. udev drops the bus number; the controller above tells buses apart.
    const std::string name = intf.filename().string();
    const std::size_t dash = name.find('-');
    if (dash == std::string::npos)
        return {};
    std::string path = "usb-0:" + name.substr(dash + 1);
    // The nearest device of each run of pci or platform ancestors, as in
    // "platform-fd500000.pcie-pci-0000:01:00.0-usb-0:1.3:1.0".
    std::string last;
    for (fs::path p = intf.parent_path(); Below(p.string(), root); p = p.parent_path()) {
        const std::string subsystem = LinkName(p / "subsystem");
        if ((subsystem == "pci" || subsystem == "platform") && subsystem != last)
            path = subsystem + "-" + p.filename().string() + "-" + path;
        last = subsystem;
    }
    // Every usb-serial port has a number on its interface (0 for most
    // adapters); udev's links carry it, so two ports of one interface differ.
    if (LinkName(fs::path(folder) / "subsystem") == "usb-serial") {
        const std::string port = Attribute(folder, "port_number");
        if (!port.empty() && port.size() <= 3 &&
            std::all_of(port.begin(), port.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
            path += "-port" + port;
    }
    return path;
}
