#pragma once
// The pseudo-terminal a simulated device sits on (or a real serial device, for
// a check with two adapters and a null-modem cable), and the comN links of
// the port-map folder through which the tool finds a pty.
#include <string>

namespace devsim
{

class Pty
{
  public:
    Pty() = default;
    ~Pty() { Close(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // A new master in raw 8N1 mode at Rate, non-blocking; the slave path is then known.
    // With a device set, that device is opened instead (exclusively, raw 8N1).
    bool Open(unsigned Rate, std::string* Error);
    void Close();
    // From now on Open opens this serial device; SlavePath() is then its path.
    void UseDevice(const std::string& Path) { FDevice = Path; }
    bool Real() const { return !FDevice.empty(); }
    bool IsOpen() const { return FFd >= 0; }
    int Fd() const { return FFd; }
    const std::string& SlavePath() const { return FSlavePath; }

  private:
    bool OpenDevice(unsigned Rate, std::string* Error);

    int FFd = -1;
    std::string FSlavePath;
    std::string FDevice;
};

// The folder the tool's port map reads: the given one, else $VELTRAC_COM_DIR, else empty.
std::string ComFolder(const std::string& Folder);
// Makes Folder/comN a symbolic link to Target, replacing an older link atomically;
// creates Folder when it is missing.
bool PointComLink(const std::string& Folder, int ComNumber, const std::string& Target, std::string* Error);
// Removes Folder/comN when it is a symbolic link (anything else is left alone).
void RemoveComLink(const std::string& Folder, int ComNumber);

} // namespace devsim
