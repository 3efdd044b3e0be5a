#pragma once
// INI text held in memory. Section and key names compare without regard to
// ASCII case; blanks around names and values are trimmed; lines whose first
// non-blank character is ";" are comments. A section named again continues the
// earlier one, and a key given again replaces its earlier value (keeping its
// place). Lines before the first section, lines without "=" and lines with an
// empty key are ignored. Nothing here raises for any text.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class TMemIniFile
{
  public:
    TMemIniFile() = default;
    explicit TMemIniFile(const std::string& Text) { SetText(Text); }

    void SetText(const std::string& Text);
    void Clear();

    // Section names in text order, spelled as they first appeared.
    std::vector<std::string> ReadSections() const;
    // Key names of a section in text order; empty for an unknown section.
    std::vector<std::string> ReadSection(const std::string& Section) const;
    bool SectionExists(const std::string& Section) const;
    bool ValueExists(const std::string& Section, const std::string& Key) const;

    std::string ReadString(const std::string& Section, const std::string& Key,
                           const std::string& Default) const;
    // Decimal with an optional sign, or hexadecimal with "$" or "0x" in front;
    // Default when the value is missing, malformed or outside 32 bits.
    int32_t ReadInteger(const std::string& Section, const std::string& Key, int32_t Default) const;

    // The number parser behind ReadInteger, for callers reading other texts.
    static bool ParseInteger(const std::string& Text, int32_t& Value);

  private:
    struct TEntry {
        std::string Key;
        std::string Value;
    };
    struct TSection {
        std::string Name;
        std::vector<TEntry> Entries;
        std::unordered_map<std::string, size_t> Index; // lower-cased key -> entry
    };
    const TSection* FindSection(const std::string& Section) const;
    const TEntry* FindEntry(const std::string& Section, const std::string& Key) const;

    std::vector<TSection> FSections;
    std::unordered_map<std::string, size_t> FIndex; // lower-cased name -> section
};
