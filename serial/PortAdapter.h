#pragma once
// What the kernel (sysfs) and udev (/dev/serial/by-id) know about the adapter
// behind a serial device, so that a technician can tell three adapters apart.
// Everything is read below a root folder that tests point at a tree they built.
#include <string>

// $VELTRAC_SYSFS_ROOT, else "/sys".
std::string SysfsRoot();
// $VELTRAC_SERIAL_BY_ID, else "/dev/serial/by-id".
std::string SerialByIdDir();
// $VELTRAC_SERIAL_BY_PATH, else "/dev/serial/by-path".
std::string SerialByPathDir();

// The kernel's name of the tty at DevicePath ("ttyUSB0"), through any links:
// by its device number (<root>/dev/char/MAJ:MIN), else by the node's own name.
// Empty when sysfs lists no such tty (a pty, a missing device).
std::string TtyName(const std::string& DevicePath, const std::string& Root = SysfsRoot());

// The sysfs folder of the tty's device, resolved (…/1-1:1.0/ttyUSB0 for a
// USB serial converter); empty when there is none. The port's driver
// attributes live here (an FTDI adapter's latency_timer, for one).
std::string TtySysfsDevice(const std::string& TtyName, const std::string& Root = SysfsRoot());

// The latency timer of the USB serial adapter behind DevicePath, the
// "latency_timer" attribute of its port device (ftdi_sio has one, in ms);
// empty when the port has none.
std::string LatencyTimerPath(const std::string& DevicePath, const std::string& Root = SysfsRoot());
// The timer in ms; −1 when it cannot be read or holds no number.
int ReadLatencyTimer(const std::string& Path);
// Writes Ms to an existing attribute (never creates a file); on failure Why
// says why ("Permission denied": root or a udev rule may write it).
bool WriteLatencyTimer(const std::string& Path, int Ms, std::string& Why);

struct TPortAdapter {
    std::string Tty;          // kernel name, "ttyUSB0"
    std::string Subsystem;    // of the port's device: "usb-serial", "usb", "serial-base", …
    std::string Driver;       // "ftdi_sio", "cp210x", "cdc_acm", …
    std::string VendorId;     // 4 hex digits, USB only
    std::string ProductId;    // 4 hex digits, USB only
    std::string Manufacturer; // USB only, each may be missing
    std::string Product;
    std::string Serial;
    std::string Interface; // the USB interface's name, rarely given
    std::string UsbPort;   // where it is plugged in ("1-1.2": bus 1, port 1.2)
    std::string ById;      // the /dev/serial/by-id link to the device, empty when none

    bool Known() const { return !Tty.empty() || !ById.empty(); }
    bool Usb() const { return !VendorId.empty(); }
};

TPortAdapter DescribePortAdapter(const std::string& DevicePath, const std::string& Root = SysfsRoot(),
                                 const std::string& ByIdDir = SerialByIdDir());

// One line for people: "FT232R USB UART, FTDI, A1B2C3, ftdi_sio". Ids stand in
// for missing names; an adapter without a serial number gets its USB port,
// the only thing that tells two of them apart. Empty when nothing is known.
std::string AdapterSummary(const TPortAdapter& A);

// Where the port is plugged in, in udev's ID_PATH form as /dev/serial/by-path
// names it: "pci-0000:00:14.0-usb-0:1.2:1.0-port0" (controller, USB port
// chain, configuration and interface, port on that interface). It stays the
// same when the adapter is plugged in again, in whatever order, and differs
// for each port of a multi-port adapter. The by-path link's name when there
// is one, else built from sysfs the way udev builds it; empty for a port that
// is not on USB (a pty, a UART).
std::string PhysicalPortPath(const std::string& DevicePath, const std::string& Root = SysfsRoot(),
                             const std::string& ByPathDir = SerialByPathDir());
