#pragma once
// The pseudo-terminal a simulated device sits on, and the comN links of the
// port-map folder through which the tool finds it.
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
    bool Open(unsigned Rate, std::string* Error);
    void Close();
    bool IsOpen() const { return FFd >= 0; }
    int Fd() const { return FFd; }
    const std::string& SlavePath() const { return FSlavePath; }

  private:
    int FFd = -1;
    std::string FSlavePath;
};

// The folder the tool's port map reads: the given one, else $VELTRAC_COM_DIR, else empty.
std::string ComFolder(const std::string& Folder);
// Makes Folder/comN a symbolic link to Target, replacing an older link atomically;
// creates Folder when it is missing.
bool PointComLink(const std::string& Folder, int ComNumber, const std::string& Target, std::string* Error);
// Removes Folder/comN when it is a symbolic link (anything else is left alone).
void RemoveComLink(const std::string& Folder, int ComNumber);

} // namespace devsim
