#pragma once
// COM number → device path. By default the numbering Wine uses: /dev/ttyS%u,
// then /dev/ttyUSB%u, then /dev/ttyACM%u, each counted up from 0 until the
// first missing node, get COM1, COM2, … in that order. When the environment
// variable VELTRAC_COM_DIR names a folder, its links comN (com5 ->
// /dev/ttyUSB0) are the ports instead; this is how tests and the device
// simulator plug a pty in as a COM port.
#include <map>
#include <string>

using TComPortMap = std::map<int, std::string>;

TComPortMap ComPortMap();
// Empty when the number has no device.
std::string ComPortDevicePath(int n);
// The path with every link followed (the path itself when it cannot be resolved).
std::string CanonicalDevicePath(const std::string& Path);
// Both paths lead to the same device node.
bool SameDevice(const std::string& A, const std::string& B);
// The COM number whose device is Path; 0 when the map has none.
int ComNumberOfPath(const std::string& Path);
