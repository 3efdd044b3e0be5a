#include "tools/devsim/Pty.h"

#include "tools/devsim/LineTermios.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devsim
{

namespace
{

std::string Errno(const char* What)
{
    return std::string(What) + ": " + std::strerror(errno);
}

std::string LinkPath(const std::string& Folder, int ComNumber)
{
    return Folder + "/com" + std::to_string(ComNumber);
}

} // namespace

bool Pty::Open(unsigned Rate, std::string* Error)
{
    Close();
    if (Real())
        return OpenDevice(Rate, Error);
    const int Fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0) {
        if (Error)
            *Error = Errno("posix_openpt");
        return false;
    }
    char Name[128];
    if (grantpt(Fd) != 0 || unlockpt(Fd) != 0 || ptsname_r(Fd, Name, sizeof Name) != 0) {
        if (Error)
            *Error = Errno("pty setup");
        ::close(Fd);
        return false;
    }
    // Raw before anyone opens the slave: a fresh pty is cooked and would echo the
    // device's first bytes back to it.
    if (!SetRawLine(Fd, Rate)) {
        if (Error)
            *Error = Errno("pty line settings");
        ::close(Fd);
        return false;
    }
    FFd = Fd;
    FSlavePath = Name;
    return true;
}

bool Pty::OpenDevice(unsigned Rate, std::string* Error)
{
    const int Fd = ::open(FDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0) {
        if (Error)
            *Error = Errno(FDevice.c_str());
        return false;
    }
    std::string Why;
    if (!::isatty(Fd))
        Why = FDevice + ": not a serial device";
    else if (::flock(Fd, LOCK_EX | LOCK_NB) != 0)
        Why = FDevice + ": in use by another program";
    else if (!SetRawLine(Fd, Rate))
        Why = Errno((FDevice + ": line settings").c_str());
    if (!Why.empty()) {
        if (Error)
            *Error = Why;
        ::close(Fd);
        return false;
    }
    FFd = Fd;
    FSlavePath = FDevice;
    return true;
}

void Pty::Close()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
    FSlavePath.clear();
}

std::string ComFolder(const std::string& Folder)
{
    if (!Folder.empty())
        return Folder;
    const char* Env = std::getenv("VELTRAC_COM_DIR");
    return Env ? std::string(Env) : std::string();
}

bool PointComLink(const std::string& Folder, int ComNumber, const std::string& Target, std::string* Error)
{
    if (Folder.empty() || ComNumber < 1) {
        if (Error)
            *Error = "no port-map folder or COM number";
        return false;
    }
    if (::mkdir(Folder.c_str(), 0755) != 0 && errno != EEXIST) {
        if (Error)
            *Error = Errno(("mkdir " + Folder).c_str());
        return false;
    }
    const std::string Final = LinkPath(Folder, ComNumber);
    const std::string Temp = Final + ".new" + std::to_string(::getpid());
    ::unlink(Temp.c_str());
    if (::symlink(Target.c_str(), Temp.c_str()) != 0) {
        if (Error)
            *Error = Errno(("symlink " + Temp).c_str());
        return false;
    }
    // rename() replaces the old link in one step, so the tool never sees no port.
    if (::rename(Temp.c_str(), Final.c_str()) != 0) {
        if (Error)
            *Error = Errno(("rename " + Final).c_str());
        ::unlink(Temp.c_str());
        return false;
    }
    return true;
}

void RemoveComLink(const std::string& Folder, int ComNumber)
{
    if (Folder.empty() || ComNumber < 1)
        return;
    const std::string Path = LinkPath(Folder, ComNumber);
    struct stat St {
    };
    if (::lstat(Path.c_str(), &St) == 0 && S_ISLNK(St.st_mode))
        ::unlink(Path.c_str());
}

} // namespace devsim
