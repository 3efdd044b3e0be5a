#pragma once
// --list-ports and --list-firmware: what the port map offers, and what
// firmware the session loaded from the embedded resources.
#include "app/UpdateSession.h"
#include "serial/PortAdapter.h"

#include <bitset>
#include <string>
#include <vector>

struct TPortRow {
    int Number = 0;
    std::string Path;          // as the port map names it
    std::string Target;        // where a link points; empty for a device node
    std::string State;         // "free", "in use", "missing"
    bool NoPermission = false; // in use because this user may not open it
    TPortAdapter Adapter{};    // what sysfs and udev know of it
};

// Every number of the port map, probed (opened and closed again when free),
// with its adapter.
std::vector<TPortRow> ProbePorts();

std::vector<std::string> PortListText(const std::vector<TPortRow>& Rows);
std::vector<std::string> PortListJson(const std::vector<TPortRow>& Rows);

// "any" for an empty set, else "1,2,5".
std::string RevisionList(const std::bitset<256>& Revisions);

std::vector<std::string> FirmwareListText(const TUpdateSession& Session);
std::string FirmwareListJson(const TUpdateSession& Session);
