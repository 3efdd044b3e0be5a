#pragma once
// Decoding of the unit's reply payloads into the link records. Payloads are raw
// bytes; every multi-byte value is big-endian. Callers check the lengths that
// select a reply's form; the decoders never read past the end.
#include "link/CorvexRecords.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Reads fields in order; bytes past the end read as 0.
class TCX_PayloadReader
{
  public:
    explicit TCX_PayloadReader(const std::string& Payload, std::size_t Start = 0) : P(Payload), Pos(Start) {}
    uint8_t Byte();
    uint16_t Word();
    uint32_t Long();
    std::string Bytes(std::size_t Count); // as many as are left, at most Count
    std::string Rest();
    void Skip(std::size_t Count) { Pos += Count; }
    std::size_t Position() const { return Pos; }

  private:
    const std::string& P;
    std::size_t Pos;
};

// "%0.2f" with a decimal point whatever the locale: the application compares these texts.
std::string CX_FormatVersion(double Version);
// 0x25 gives "2e5": the hardware generation, "e", the variant.
std::string CX_HardwareText(int32_t Hardware);
// Unit information 0x01 (12 bytes or more) and its extended form 0x0B (20 or more).
void CX_DecodeUnitInfo(const std::string& P, bool ShowRevision, TCX_UnitInfo& Info, uint8_t& MaxLength);
void CX_DecodeExtUnitInfo(const std::string& P, bool ShowRevision, TCX_UnitInfo& Info, uint8_t& MaxLength);
// Version information 0x0A (15 bytes or more). Bit 0 of the first capability word belongs to
// the unit record (ExtFlag4), so Unit is updated too.
void CX_DecodeVersionInfo(const std::string& P, TCX_UnitInfo& Unit, TCX_VersionInfo& Info);
// GPS location 0x05: long form (27 bytes or more) or short form (exactly 12), whose time is
// the host's local clock.
void CX_DecodeGPSLocation(const std::string& P, const TCX_UnitInfo& Unit, TCX_GPSLocation& Location);
// Cell reports 0x22, 0x2A, 0x2C, 0x2D; false when the payload is too short for its header.
bool CX_DecodeRxQuality(uint8_t CmdID, const std::string& P, bool OptimizeCells, TCX_RxQuality& Quality);
