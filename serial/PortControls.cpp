#include "serial/PortControls.h"

#include "serial/PosixSerial.h"

#include <sys/stat.h>

uint32_t ProbeComPort(int n)
{
    return ProbeComPort(n, ComPortMap());
}

uint32_t ProbeComPort(int n, const TComPortMap& Map, TPortProbeDetail* Detail)
{
    const auto it = Map.find(n);
    TPosixOpenResult why = porOk;
    // Numbers without a device are never opened: a list of 1025 numbers
    // costs only the few devices the machine has.
    const uint32_t state = it == Map.end() ? psMissing : PosixProbePort(it->second, &why);
    if (Detail) {
        Detail->HeldHere = state == psInUse && PosixHeldHere(it->second);
        Detail->NoPermission = why == porNoPermission;
    }
    return (static_cast<uint32_t>(n) & 0xFFFF) + state * 65536;
}

bool PortListed(uint32_t State, const TPortCtlOptions& Options)
{
    if (!Options.count(pcCheckExist))
        return true;
    if (Options.count(pcDisableOpen))
        return State == psFree;
    return State == psInUse || State == psFree;
}

std::vector<uint32_t> ProbePortList(int MaxComPorts, const TPortCtlOptions& Options)
{
    std::vector<uint32_t> items;
    const TComPortMap map = ComPortMap();
    for (int n = 1; n <= MaxComPorts; ++n) {
        const uint32_t v = ProbeComPort(n, map);
        if (PortListed(ProbePortState(v), Options))
            items.push_back(v);
    }
    return items;
}

std::string PortNodeStamp(const std::string& Path)
{
    struct stat st;
    if (Path.empty() || ::stat(Path.c_str(), &st) != 0)
        return {};
    return std::to_string(st.st_rdev) + "/" + std::to_string(st.st_dev) + "/" + std::to_string(st.st_ino) +
           "/" + std::to_string(st.st_mode) + "/" + std::to_string(st.st_uid) + "/" +
           std::to_string(st.st_gid) + (PosixHeldHere(Path) ? "/held" : "");
}

TPortStatusMap ScanPorts(const TComPortMap& Map, const TPortStatusMap& Previous,
                         const std::function<bool(int ComNumber)>& Kept)
{
    TPortStatusMap ports;
    for (const auto& [n, path] : Map) {
        TPortStatus& p = ports[n];
        p.Path = path;
        p.Stamp = PortNodeStamp(path);
        // A unit whose receiver programs takes the close after a probe's open
        // for the end of its link.
        const bool kept = !p.Stamp.empty() && Kept && Kept(n);
        if (kept)
            p.Stamp += "/kept";
        const auto old = Previous.find(n);
        if (old != Previous.end() && old->second.Path == path && old->second.Stamp == p.Stamp &&
            !p.Stamp.empty()) {
            p.Value = old->second.Value;
            p.Detail = old->second.Detail;
        } else if (kept) {
            p.Value = (static_cast<uint32_t>(n) & 0xFFFF) + psInUse * 65536;
            p.Detail = {.HeldHere = true};
        } else {
            p.Value = ProbeComPort(n, Map, &p.Detail);
        }
        // Reading sysfs opens no device; udev's by-id link may come after the node.
        p.Adapter = DescribePortAdapter(path);
    }
    return ports;
}
