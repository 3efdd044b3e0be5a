#include "serial/PortMap.h"

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <unistd.h>

namespace
{

// Wine numbers its own devices up to 255; a link may name any port number
// the selector list can show.
constexpr int MaxPorts = 256;
constexpr int MaxLinkedPort = 65535;

bool ParseComLink(const char* Name, int& n)
{
    // "com" followed by a decimal number without leading zeros, nothing else.
    if ((Name[0] != 'c' && Name[0] != 'C') || (Name[1] != 'o' && Name[1] != 'O') ||
        (Name[2] != 'm' && Name[2] != 'M') || Name[3] < '1' || Name[3] > '9')
        return false;
    n = 0;
    for (const char* p = Name + 3; *p; ++p) {
        if (*p < '0' || *p > '9' || n > MaxLinkedPort)
            return false;
        n = n * 10 + (*p - '0');
    }
    return n >= 1 && n <= MaxLinkedPort;
}

} // namespace

TComPortMap ComPortMap()
{
    TComPortMap map;
    const char* dir = std::getenv("VELTRAC_COM_DIR");
    if (dir && *dir) {
        // The folder replaces the default numbering entirely, so a test or a
        // simulator session sees exactly the ports it set up.
        if (DIR* d = opendir(dir)) {
            while (dirent* e = readdir(d)) {
                int n;
                if (ParseComLink(e->d_name, n))
                    map[n] = std::string(dir) + "/" + e->d_name;
            }
            closedir(d);
        }
        return map;
    }
    int next = 1;
    for (const char* pattern : {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"}) {
        for (int i = 0; next < MaxPorts; ++i) {
            std::string path = pattern + std::to_string(i);
            if (access(path.c_str(), F_OK) != 0)
                break;
            map[next++] = path;
        }
    }
    return map;
}

std::string ComPortDevicePath(int n)
{
    const TComPortMap map = ComPortMap();
    const auto it = map.find(n);
    return it == map.end() ? std::string() : it->second;
}

std::string CanonicalDevicePath(const std::string& Path)
{
    char Buf[PATH_MAX];
    return realpath(Path.c_str(), Buf) ? std::string(Buf) : Path;
}

bool SameDevice(const std::string& A, const std::string& B)
{
    return A == B || CanonicalDevicePath(A) == CanonicalDevicePath(B);
}

int ComNumberOfPath(const std::string& Path)
{
    for (const auto& [Number, MapPath] : ComPortMap())
        if (SameDevice(MapPath, Path))
            return Number;
    return 0;
}
