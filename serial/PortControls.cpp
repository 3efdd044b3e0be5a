#include "serial/PortControls.h"

#include "serial/PosixSerial.h"

uint32_t ProbeComPort(int n)
{
    return ProbeComPort(n, ComPortMap());
}

uint32_t ProbeComPort(int n, const TComPortMap& Map)
{
    const auto it = Map.find(n);
    // Numbers without a device are never opened: a list of 1025 numbers
    // costs only the few devices the machine has.
    const uint32_t state = it == Map.end() ? psMissing : PosixProbePort(it->second);
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
