#include "firmware/IniFile.h"

#include <limits>

namespace
{

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

std::string Trim(const std::string& S)
{
    size_t b = 0;
    size_t e = S.size();
    while (b < e && IsBlank(S[b]))
        ++b;
    while (e > b && IsBlank(S[e - 1]))
        --e;
    return S.substr(b, e - b);
}

std::string Lower(const std::string& S)
{
    std::string r = S;
    for (char& c : r)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return r;
}

int DigitValue(char c, int Base)
{
    int v = 99;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < Base ? v : -1;
}

} // namespace

void TMemIniFile::Clear()
{
    FSections.clear();
    FIndex.clear();
}

void TMemIniFile::SetText(const std::string& Text)
{
    Clear();
    TSection* current = nullptr;
    size_t pos = 0;
    while (pos < Text.size()) {
        size_t end = Text.find_first_of("\r\n", pos);
        if (end == std::string::npos)
            end = Text.size();
        const std::string line = Trim(Text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == ';')
            continue;
        if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
            const std::string name = Trim(line.substr(1, line.size() - 2));
            const std::string key = Lower(name);
            auto it = FIndex.find(key);
            if (it == FIndex.end()) {
                it = FIndex.emplace(key, FSections.size()).first;
                FSections.push_back(TSection{name, {}, {}});
            }
            current = &FSections[it->second];
            continue;
        }
        const size_t eq = line.find('=');
        if (current == nullptr || eq == std::string::npos)
            continue;
        const std::string key = Trim(line.substr(0, eq));
        if (key.empty())
            continue;
        const std::string value = Trim(line.substr(eq + 1));
        const std::string lk = Lower(key);
        auto it = current->Index.find(lk);
        if (it != current->Index.end()) {
            current->Entries[it->second].Value = value;
        } else {
            current->Index.emplace(lk, current->Entries.size());
            current->Entries.push_back(TEntry{key, value});
        }
    }
}

const TMemIniFile::TSection* TMemIniFile::FindSection(const std::string& Section) const
{
    auto it = FIndex.find(Lower(Trim(Section)));
    return it == FIndex.end() ? nullptr : &FSections[it->second];
}

const TMemIniFile::TEntry* TMemIniFile::FindEntry(const std::string& Section, const std::string& Key) const
{
    const TSection* s = FindSection(Section);
    if (s == nullptr)
        return nullptr;
    auto it = s->Index.find(Lower(Trim(Key)));
    return it == s->Index.end() ? nullptr : &s->Entries[it->second];
}

std::vector<std::string> TMemIniFile::ReadSections() const
{
    std::vector<std::string> r;
    r.reserve(FSections.size());
    for (const TSection& s : FSections)
        r.push_back(s.Name);
    return r;
}

std::vector<std::string> TMemIniFile::ReadSection(const std::string& Section) const
{
    std::vector<std::string> r;
    if (const TSection* s = FindSection(Section)) {
        r.reserve(s->Entries.size());
        for (const TEntry& e : s->Entries)
            r.push_back(e.Key);
    }
    return r;
}

bool TMemIniFile::SectionExists(const std::string& Section) const
{
    return FindSection(Section) != nullptr;
}

bool TMemIniFile::ValueExists(const std::string& Section, const std::string& Key) const
{
    return FindEntry(Section, Key) != nullptr;
}

std::string TMemIniFile::ReadString(const std::string& Section, const std::string& Key,
                                    const std::string& Default) const
{
    const TEntry* e = FindEntry(Section, Key);
    return e == nullptr ? Default : e->Value;
}

int32_t TMemIniFile::ReadInteger(const std::string& Section, const std::string& Key, int32_t Default) const
{
    const TEntry* e = FindEntry(Section, Key);
    int32_t v = 0;
    if (e == nullptr || !ParseInteger(e->Value, v))
        return Default;
    return v;
}

bool TMemIniFile::ParseInteger(const std::string& Text, int32_t& Value)
{
    const std::string s = Trim(Text);
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        negative = s[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < s.size() && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size())
        return false;
    // Hex values fill all 32 bits ("$FFFFFFFF" is -1); decimal ones must fit the signed range.
    const uint64_t limit = base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const int d = DigitValue(s[i], base);
        if (d < 0)
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > limit)
            return false;
    }
    uint32_t u = static_cast<uint32_t>(v);
    if (negative)
        u = 0u - u;
    Value = static_cast<int32_t>(u);
    return true;
}
