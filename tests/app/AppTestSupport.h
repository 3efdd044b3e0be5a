#pragma once
// Shared by the application tests: the demo package's receiver versions, and
// files written for the session to read. The byte helpers come from
// tests/common.
#include "tests/common/TestBytes.h"

#include <string>

// Receiver versions of the demo package: an older MC-1513 than the tool
// carries, the MC-1513 image it carries, and its current MC-GG image.
inline const std::string Old1513 = "AXN_3.0_1513_10000000,1500,MC-1513,0.9";
inline const std::string New1513 = "AXN_3.8_1513_16022600,1513,MC-1513,1.0";
inline const std::string CurrentGG = "AXN_5.1.9_3333_23110100,5110,MC-GG,1.1";

// Writes Data to a new file under the system's temporary folder and returns its path.
std::string WriteTempFile(const std::string& Name, const std::string& Data);
