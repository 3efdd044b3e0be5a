#pragma once
// One-line JSON objects for --json. Device texts are 8-bit and not always
// UTF-8: bytes from 0x80 up are written as \u0080..\u00FF (Latin-1), so every
// line is valid JSON whatever the device sent.
#include "app/UpdateDisplay.h"
#include "app/UpdateOutcome.h"

#include <cstdint>
#include <string>
#include <vector>

std::string JsonString(const std::string& Bytes);

class TJsonObject
{
  public:
    TJsonObject& Add(const std::string& Key, const std::string& Value);
    TJsonObject& Add(const std::string& Key, const char* Value) { return Add(Key, std::string(Value)); }
    TJsonObject& Add(const std::string& Key, int64_t Value);
    TJsonObject& Add(const std::string& Key, int Value) { return Add(Key, static_cast<int64_t>(Value)); }
    TJsonObject& Add(const std::string& Key, double Value);
    // Rounded to Decimals places: seconds to the millisecond, rates to a tenth.
    TJsonObject& Add(const std::string& Key, double Value, int Decimals);
    TJsonObject& Add(const std::string& Key, bool Value);
    TJsonObject& AddNull(const std::string& Key);
    // Text, or null when it is empty (nothing known).
    TJsonObject& AddText(const std::string& Key, const std::string& Value);
    // Value must already be JSON (an object or array).
    TJsonObject& AddRaw(const std::string& Key, const std::string& Json);
    std::string Str() const { return "{" + FBody + "}"; }

  private:
    void Key(const std::string& Key);
    std::string FBody;
};

std::string JsonArray(const std::vector<std::string>& JsonValues);
std::string JsonStringArray(const std::vector<std::string>& Texts);

// Event with "com" and "device_path" right after its first field (the
// event's name), so that among several ports each event names its port; an
// event that names a port already (the result) stays as it is.
std::string JsonWithPort(const std::string& Event, int ComNumber, const std::string& DevicePath);

// {"event":"display", every text and bar, the state, the device type}
std::string DisplayJson(const TUpdateDisplay& D);
// {"event":"state","state":To,"previous":From,"text":...}
std::string StateJson(TUpdateState From, TUpdateState To, bool ExternalGPS);

// Parts of the result line; every key is always there, null where unknown.
// {"by_id","usb_serial","vendor_id","product_id"} of the port's adapter.
std::string ResultAdapterJson(const TPortAdapter& A);
// {"own_firmware","receiver_transfer","programming","confirmation"} in
// seconds (null: not in the run), and "unfinished", the phase the run ended in.
std::string PhasesJson(const TRunPhases& P);
// {"records","blocks","wake_ups","restarts"}
std::string RepeatsJson(const TRunRepeats& R);
