#pragma once
// Port probing for the port selector list: which port numbers exist and
// which of them are free.
#include "serial/PortMap.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

enum TPortCtlOption { pcCheckExist, pcDisableOpen, pcHighlightOpen };
using TPortCtlOptions = std::set<TPortCtlOption>;

// Port states carried in the high 16 bits of a probe result.
constexpr uint32_t psInUse = 0;   // exists but cannot be opened (in use, access denied, …)
constexpr uint32_t psFree = 1;    // exists and free
constexpr uint32_t psMissing = 2; // does not exist

// n + state × 65536. Numbers without a device are not opened.
uint32_t ProbeComPort(int n);
uint32_t ProbeComPort(int n, const TComPortMap& Map);

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
