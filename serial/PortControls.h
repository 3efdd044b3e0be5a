#pragma once
// Port probing for the port selector list: which port numbers exist and
// which of them are free.
#include "serial/PortAdapter.h"
#include "serial/PortMap.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

enum TPortCtlOption { pcCheckExist, pcDisableOpen, pcHighlightOpen };
using TPortCtlOptions = std::set<TPortCtlOption>;

// Port states carried in the high 16 bits of a probe result.
constexpr uint32_t psInUse = 0;   // exists but cannot be opened (in use, access denied, …)
constexpr uint32_t psFree = 1;    // exists and free
constexpr uint32_t psMissing = 2; // does not exist

// Why a port is in use, where the probe can tell.
struct TPortProbeDetail {
    bool HeldHere = false;     // a port of this process has it open (it was not probed)
    bool NoPermission = false; // this user may not open it
};

// n + state × 65536. Numbers without a device are not opened, nor are the
// devices this process holds.
uint32_t ProbeComPort(int n);
uint32_t ProbeComPort(int n, const TComPortMap& Map, TPortProbeDetail* Detail = nullptr);

inline int ProbePortNumber(uint32_t v)
{
    return static_cast<int>(v & 0xFFFF);
}
inline uint32_t ProbePortState(uint32_t v)
{
    return v >> 16;
}

// Whether a port in State belongs in a list built with Options.
bool PortListed(uint32_t State, const TPortCtlOptions& Options);

// The probe results of the ports 1..MaxComPorts that a list with Options shows.
std::vector<uint32_t> ProbePortList(int MaxComPorts, const TPortCtlOptions& Options);

// One port of the port map as the lists show it.
struct TPortStatus {
    std::string Path;   // as the port map names it
    std::string Stamp;  // the device node as last seen (see PortNodeStamp)
    uint32_t Value = 0; // number + state × 65536
    TPortProbeDetail Detail;
    TPortAdapter Adapter;
};
using TPortStatusMap = std::map<int, TPortStatus>;

// The device node at Path, followed through links, as text that changes when
// it is replaced, re-plugged, given other owners or modes, or taken or let go
// by a port of this process; empty when there is none.
std::string PortNodeStamp(const std::string& Path);

// Every port of Map with its state and adapter. A port whose path and node
// stamp are those in Previous keeps the state found there and is not opened
// again; with Previous empty every port is probed. A port number for which
// Kept says true is never opened: its owner keeps it for a device (one that
// may be programming), and it is shown in use by this program.
TPortStatusMap ScanPorts(const TComPortMap& Map, const TPortStatusMap& Previous = {},
                         const std::function<bool(int ComNumber)>& Kept = {});
