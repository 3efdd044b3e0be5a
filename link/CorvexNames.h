#pragma once
// Names of unit classes and hardware variants, as the service tool shows them.
#include <cstdint>
#include <string>

// The model of a unit class (TCX_UnitInfo::Class); "Unknown" outside the table.
std::string CX_UnitModelName(int32_t ClassCode);
// The letter code of a hardware revision (TCX_VersionInfo::HardwareRev), from 1; "" outside the table.
std::string CX_HardwareCodeName(int32_t Code);
