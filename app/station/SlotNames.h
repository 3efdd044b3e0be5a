#pragma once
// A station's slots: its physical connectors, each with a name that stays
// with the connector ("Slot 3" is the same socket tomorrow), whatever order
// the adapters are plugged in and whatever tty numbers the kernel hands out.
//
// A slot's key:
// - a port of VELTRAC_COM_DIR (tests, the simulator): "com<N>", named
//   "COM <N>" unless named otherwise;
// - a USB port: where it is plugged in, udev's ID_PATH
//   ("pci-0000:00:14.0-usb-0:1.2:1.0-port0", see PhysicalPortPath);
// - any other port (a UART, a pty given by path): its device path as given.
//
// The slots file (--slots FILE) and the names this keeps in
// $XDG_CONFIG_HOME/veltrac-gnss-update/slots.conf (else ~/.config/…) share
// one format, one slot a line:
//     PATH = NAME
//     pci-0000:00:14.0-usb-0:1.2:1.0-port0 = Left bench
// PATH is a key as above (a /dev/serial/by-path/ link is taken by its name);
// NAME is everything after the first "=", up to 40 characters, blanks
// around both ignored. A line whose first non-blank character is "#" is a
// comment; blank lines are ignored. A path or a name given twice is an error.
//
// Without a slots-file entry, a slot seen for the first time gets the
// lowest free "Slot <n>" and keeps it: the number is saved at once (written
// to a temporary file, then renamed over the old one), and the numbers of
// adapters missing today are kept. A pty's number is for this run only: a
// pty is no connector. A kept file that cannot be read leaves it untouched
// and keeps nothing for this run; one with bad lines keeps its good names,
// and is copied to slots.conf.bad before it is first rewritten.
//
// Used from one thread.
#include <map>
#include <set>
#include <string>
#include <vector>

struct TSlot {
    std::string Key;   // see above; empty for an empty device path
    std::string Name;  // "Slot 3", "COM 5", or the name given
    int ComNumber = 0; // > 0: a port of VELTRAC_COM_DIR
};

// The key of the slot that the port at DevicePath is plugged into; ComNumber
// (when given) is set to its COM number in VELTRAC_COM_DIR, else 0.
std::string SlotKey(const std::string& DevicePath, int* ComNumber = nullptr);

// Ports of VELTRAC_COM_DIR first, by number; the others by name, numbers in
// names compared by value ("Slot 2" before "Slot 10"), letters ignoring case.
bool SlotBefore(const TSlot& A, const TSlot& B);
// <0, 0 or >0 in that order of names.
int CompareNatural(const std::string& A, const std::string& B);

// $XDG_CONFIG_HOME/veltrac-gnss-update/slots.conf, else under ~/.config.
std::string DefaultSlotStore();

class TSlotNames
{
  public:
    // Reads the kept names from StorePath (a missing file is none).
    explicit TSlotNames(const std::string& StorePath = DefaultSlotStore());

    // Takes the names of a slots file, which win over the kept ones. On a bad
    // file false, nothing taken, and Error says "FILE:LINE: why" for its
    // first bad lines.
    bool LoadSlotsFile(const std::string& Path, std::string& Error);

    // The slot of the port at DevicePath, numbered (and the number saved) when
    // it is seen for the first time.
    TSlot SlotOf(const std::string& DevicePath);

    // Names the slot Key (a TSlot's Key) and saves the name. False with Error
    // when the name is not valid or another slot has it, when the slots file
    // names this slot (its name is changed there), or when it cannot be
    // saved (the old name then stays).
    bool Rename(const std::string& Key, const std::string& Name, std::string& Error);

    // What went wrong with the kept file since the last call (each said once):
    // bad lines, a file that cannot be read or written, a kept name that gives
    // way to the slots file's.
    std::vector<std::string> TakeWarnings();

    const std::string& StorePath() const { return FStorePath; }

  private:
    std::string NameOf(const std::string& Key) const;
    bool Taken(const std::string& Name, const std::string& ExceptKey) const;
    std::string NextFreeName() const;
    bool Save(std::string& Why);
    void LoadStore();
    void Warn(const std::string& Text);

    std::string FStorePath;
    std::string FNoSaving; // why the kept file must not be written (it could not be read…)
    std::string FSlotsFile;
    std::map<std::string, std::string> FFromFile; // key → name, from the slots file
    std::map<std::string, std::string> FKept;     // key → name, saved in FStorePath
    std::map<std::string, std::string> FRunOnly;  // key → name, ptys
    std::vector<std::string> FWarnings;
    std::set<std::string> FSaid;
};
