#pragma once
// Frame layouts of the link to the tracking unit (docs/link-protocol.md).
#include "link/CorvexRecords.h"

#include <cstdint>
#include <string>

constexpr uint8_t CX_STX = 0x02;
constexpr uint8_t CX_DLE = 0x10;
constexpr uint8_t CX_Bracket = 0x5B;    // '[' opens a bracketed frame
constexpr uint8_t CX_BracketEnd = 0x5D; // ']'
constexpr uint8_t CX_CoreEscape = 0x5C; // '\' on cores above 555
constexpr uint8_t CX_HostAddress = 0x01;
constexpr uint8_t CX_UnitAddress = 0x04;

// Command ids: what a frame from the tool asks, and what a frame from the
// unit carries (docs/link-protocol.md lists who sends which).
namespace CX_Cmd
{
constexpr uint8_t KeepAlive = 0x00;
constexpr uint8_t UnitInfo = 0x01;
constexpr uint8_t Acknowledge = 0x02;
constexpr uint8_t Parameter = 0x03;
constexpr uint8_t SetParameter = 0x04;
constexpr uint8_t GPSLocation = 0x05;
constexpr uint8_t View = 0x06;
constexpr uint8_t Voltage = 0x07;
constexpr uint8_t Temperature = 0x08;
constexpr uint8_t Action = 0x09;
constexpr uint8_t VersionInfo = 0x0A;
constexpr uint8_t ExtUnitInfo = 0x0B;
constexpr uint8_t EEPROMTest = 0x0C;
constexpr uint8_t Accelerometer = 0x0D;
constexpr uint8_t Time = 0x0E;
constexpr uint8_t Shock = 0x0F;
constexpr uint8_t SoftwareUpdate = 0x11;
constexpr uint8_t CalibrateVoltage = 0x13;
constexpr uint8_t FastSpeed = 0x14;
constexpr uint8_t Current = 0x16;
constexpr uint8_t PassThrough = 0x18;
constexpr uint8_t GSMRequests = 0x19;
constexpr uint8_t ManualSMS = 0x1A;
constexpr uint8_t EEPromRead = 0x1B;
constexpr uint8_t EEPromWrite = 0x1C;
constexpr uint8_t GPSReset = 0x1E;
constexpr uint8_t PinCodeState = 0x21;
constexpr uint8_t RxQuality = 0x22;     // cells of 5 bytes
constexpr uint8_t RxQuality7 = 0x2A;    // cells of 7 bytes
constexpr uint8_t RxQualityTech = 0x2C; // with the radio technology, cells of 9 bytes
constexpr uint8_t RxQualityFull = 0x2D; // with technology and serving-cell values
constexpr uint8_t ConnectState = 0x23;
constexpr uint8_t IOState = 0x24;
constexpr uint8_t Outputs = 0x25;
constexpr uint8_t NetworkName = 0x26;
constexpr uint8_t GPSType = 0x27;
constexpr uint8_t LoggerStatus = 0x28;
constexpr uint8_t BatteryInfo = 0x2B;
constexpr uint8_t ActiveSIM = 0x2E;
constexpr uint8_t NetworkInfo = 0x2F;
constexpr uint8_t NewDef = 0x31;
constexpr uint8_t NewDef2 = 0x32;
constexpr uint8_t ResetSettings = 0xF0;
constexpr uint8_t SaveSettings = 0xF1;
constexpr uint8_t TurnOff = 0xF2;
constexpr uint8_t Unlock = 0xF4;
constexpr uint8_t EndOfConnection = 0xFF;
} // namespace CX_Cmd

// Appends B to Frame, escaped as STX frames need it: 02, 11 and 13 become DLE and
// the byte plus one, DLE itself is doubled.
void CX_EscapeByte(std::string& Frame, uint8_t B);

// The bytes on the wire of one host command. Payload holds raw bytes, at most 255.
std::string CX_BuildFrame(TCX_ConfigType Mode, uint8_t CmdID, const std::string& Payload);
