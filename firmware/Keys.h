#pragma once
// The three 16-byte AES-128 keys built into the tool, chosen at configure time
// (-DVELTRAC_KEYS_FILE; the repository's demo keys by default).
#include <string>

const std::string& ImageKey(); // the embedded firmware image ("gps_fw")
const std::string& CfwKey();   // "QVD_CFW_v01" containers
const std::string& EfwKey();   // "QVD_FW_v01" container payloads

// True when the build carries the repository's public demo keys.
bool DemoKeys();
