#pragma once
// The External GPS module's frames: "<" escaped content ">", commands to
// address 00 2C with a byte-sum checksum, answers and status frames.
#include <cstdint>
#include <string>

constexpr uint8_t ModuleCmdIdentify = 0x01;
constexpr uint8_t ModuleCmdStartUpdate = 0x7F;
constexpr uint8_t ModuleCmdReceiver = 0xFA;
constexpr uint8_t ModuleCmdArgument = 0x1D;

// Written unescaped after each accepted transfer status.
inline const std::string ModuleRawAck("\x3C\xFF\xFF\xFF\x3E", 5);

// "<" + content with 10, 3C and 3E escaped + ">".
std::string EscapeModuleFrame(const std::string& Body);

// Content of a command frame: 00 2C, Cmd, Payload, byte sum of all of them.
std::string ModuleCommandBody(uint8_t Cmd, const std::string& Payload);

// Checks a received frame's content (checksum last) and returns it without the
// checksum in Content. Answer frames (first byte FF) do not sum that FF.
bool ModuleFrameValid(const std::string& Frame, std::string& Content);

// Whether an answer can be the receiver's version text: no control bytes, but
// for line ends and zeros at its end. The empty answer (no version) counts.
bool IsModuleVersionText(const std::string& Payload);
