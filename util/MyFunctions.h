#pragma once
// Token, text and checksum helpers. Byte strings are std::string holding any
// byte value; positions in the comments count from 1, as the callers do.
#include <cstdint>
#include <string>

std::string FetchToken(std::string& S, const std::string& Delimiter);
std::string FetchTokenChar(std::string& S, char Delimiter);
std::string GetToken(const std::string& S, int Index, char Delimiter);
int TokenCount(const std::string& S, char Delimiter);
// The name after the last "\", ":" or "/", without its extension (from the last ".").
std::string FileNameNoExt(const std::string& Path);
std::string ReplaceAll(const std::string& S, const std::string& Find, const std::string& Replace,
                       bool CaseSensitive);
std::string JoinNonEmpty(const std::string& First, const std::string& Second, const std::string& Separator);

// Days since 1899-12-30 plus the fraction of the day; 0 for an invalid date or time.
double SafeEncodeDateTime(uint16_t Year, uint16_t Month, uint16_t Day, uint16_t Hour, uint16_t Minute,
                          uint16_t Second) noexcept;

// Value with Decimals digits after a "." whatever the user's locale: the
// texts the tool shows are compared and written to files and JSON.
std::string FixedText(double Value, int Decimals);
// 2457 as "2,457": counts shown to people, the same in every locale.
std::string GroupedNumber(int64_t Value);

std::string IfStr(bool Condition, const std::string& WhenTrue, const std::string& WhenFalse);
int IfInt(bool Condition, int WhenTrue, int WhenFalse);

uint16_t Crc16Byte(uint16_t Crc, uint8_t B);
uint16_t Crc16Text(uint16_t Crc, const std::string& S);
uint32_t Crc32Words(const std::string& S, uint32_t Init);
int ByteSum(const std::string& S, bool AsByte);
