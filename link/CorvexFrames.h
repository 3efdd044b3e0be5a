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

// Appends B to Frame, escaped as STX frames need it: 02, 11 and 13 become DLE and
// the byte plus one, DLE itself is doubled.
void CX_EscapeByte(std::string& Frame, uint8_t B);

// The bytes on the wire of one host command. Payload holds raw bytes, at most 255.
std::string CX_BuildFrame(TCX_ConfigType Mode, uint8_t CmdID, const std::string& Payload);
