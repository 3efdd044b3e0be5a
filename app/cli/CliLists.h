#pragma once
// --list-ports and --list-firmware: what the port map offers, and what
// firmware the session loaded from the embedded resources.
#include "app/UpdateSession.h"
#include "app/cli/JsonOut.h"
#include "serial/PortAdapter.h"
#include "serial/PortMap.h"

#include <bitset>
#include <string>
#include <vector>

struct TPortRow {
    int Number = 0;            // 0: a path outside the port map
    std::string Path;          // as the port map names it
    std::string Target;        // where a link points; empty for a device node
    std::string State;         // "free", "in use", "missing"
    bool NoPermission = false; // in use because this user may not open it
    TPortAdapter Adapter{};    // what sysfs and udev know of it
};

// Every number of the port map, probed (opened and closed again when free),
// with its adapter.
std::vector<TPortRow> ProbePorts(const TComPortMap& Map = ComPortMap());
// A port as a row without opening it: its link target and adapter (State empty).
TPortRow DescribePort(int Number, const std::string& Path);

std::vector<std::string> PortListText(const std::vector<TPortRow>& Rows);
std::vector<std::string> PortListJson(const std::vector<TPortRow>& Rows);

// One port's lines in a list: "COM 5    PATH -> TARGET    " State, the
// adapter, and its by-id link on a line of its own.
std::vector<std::string> PortLines(const TPortRow& R, const std::string& State);
// {"event":Event,"number","path","target"} of a port (number null for a path
// outside the port map), for more keys to follow.
TJsonObject PortJson(const std::string& Event, const TPortRow& R);
// What sysfs and udev know of the adapter, as a JSON object; "null" when nothing.
std::string AdapterJson(const TPortAdapter& A);

// "any" for an empty set, else "1,2,5".
std::string RevisionList(const std::bitset<256>& Revisions);

std::vector<std::string> FirmwareListText(const TFirmwareStore& Store);
std::string FirmwareListJson(const TFirmwareStore& Store);
