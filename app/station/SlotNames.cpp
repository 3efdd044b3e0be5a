#include "app/station/SlotNames.h"

#include "serial/PortAdapter.h"
#include "serial/PortMap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <utility>

namespace
{

constexpr qint64 MaxFileSize = 1 << 20; // far beyond any station; a bigger file is not a slots file
constexpr int MaxNameLength = 40;       // what a tile can show large
constexpr std::size_t MaxKeyLength = 255;
constexpr std::size_t MaxErrorsShown = 5;

bool Blank(char c)
{
    return c == ' ' || c == '\t';
}

bool Digit(char c)
{
    return c >= '0' && c <= '9';
}

std::string Trim(const std::string& S)
{
    std::size_t b = 0, e = S.size();
    while (b < e && Blank(S[b]))
        ++b;
    while (e > b && Blank(S[e - 1]))
        --e;
    return S.substr(b, e - b);
}

bool HasControl(const std::string& S)
{
    return std::any_of(S.begin(), S.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// Why Name cannot name a slot; empty when it can.
std::string NameProblem(const std::string& Name)
{
    if (Name.empty())
        return "no name";
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(QByteArrayView(Name.data(), static_cast<qsizetype>(Name.size())));
    if (utf8.hasError() || HasControl(Name))
        return "the name is not readable text";
    if (text.size() > MaxNameLength)
        return "the name is longer than " + std::to_string(MaxNameLength) + " characters";
    return {};
}

std::string KeyProblem(const std::string& Key)
{
    if (Key.empty())
        return "no path";
    if (Key.size() > MaxKeyLength || HasControl(Key) ||
        std::any_of(Key.begin(), Key.end(), [](char c) { return Blank(c); }))
        return "\"" + Key.substr(0, 60) + "\" is no port path (it has blanks or control characters)";
    return {};
}

// A by-path link stands for its name, the form PhysicalPortPath gives.
std::string NormalKey(const std::string& Key)
{
    for (const std::string& dir : {SerialByPathDir(), std::string("/dev/serial/by-path")}) {
        const std::string prefix = dir + "/";
        if (Key.size() > prefix.size() && Key.compare(0, prefix.size(), prefix) == 0)
            return Key.substr(prefix.size());
    }
    return Key;
}

struct TEntry {
    std::string Key, Name;
    int Line = 0;
};

struct TParsed {
    std::vector<TEntry> Entries;
    std::vector<std::string> Errors; // "FILE:LINE: why"
};

// Bad lines are left out and said; the first of a duplicate path or name wins.
TParsed Parse(const std::string& Text, const std::string& File)
{
    TParsed out;
    std::size_t at = Text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; // an editor's byte-order mark
    for (int line = 1; at <= Text.size(); ++line) {
        std::size_t end = Text.find('\n', at);
        if (end == std::string::npos)
            end = Text.size();
        std::string s = Text.substr(at, end - at);
        at = end + 1;
        if (!s.empty() && s.back() == '\r')
            s.pop_back();
        s = Trim(s);
        if (s.empty() || s[0] == '#')
            continue;
        const auto bad = [&](const std::string& Why) {
            out.Errors.push_back(File + ":" + std::to_string(line) + ": " + Why);
        };
        const std::size_t eq = s.find('=');
        if (eq == std::string::npos) {
            bad("not \"PATH = NAME\"");
            continue;
        }
        TEntry e{NormalKey(Trim(s.substr(0, eq))), Trim(s.substr(eq + 1)), line};
        std::string why = KeyProblem(e.Key);
        if (why.empty())
            why = NameProblem(e.Name);
        for (const TEntry& o : out.Entries) {
            if (!why.empty())
                break;
            if (o.Key == e.Key)
                why = e.Key + " is named already on line " + std::to_string(o.Line);
            else if (o.Name == e.Name)
                why = "\"" + e.Name + "\" names " + o.Key + " already on line " + std::to_string(o.Line);
        }
        if (!why.empty())
            bad(why);
        else
            out.Entries.push_back(e);
    }
    return out;
}

std::string Joined(const std::vector<std::string>& Errors)
{
    std::string s;
    for (std::size_t i = 0; i < Errors.size() && i < MaxErrorsShown; ++i)
        s += (i ? "\n" : "") + Errors[i];
    if (Errors.size() > MaxErrorsShown)
        s += "\n(" + std::to_string(Errors.size() - MaxErrorsShown) + " more bad lines)";
    return s;
}

bool ReadText(const std::string& Path, std::string& Text, std::string& Why)
{
    QFile f(QString::fromStdString(Path));
    if (QFileInfo(f).isDir()) {
        Why = "it is a folder";
        return false;
    }
    if (!f.open(QIODevice::ReadOnly)) {
        Why = f.errorString().toStdString();
        return false;
    }
    if (f.size() > MaxFileSize) {
        Why = "larger than 1 MiB";
        return false;
    }
    const QByteArray data = f.read(MaxFileSize + 1);
    if (data.size() > MaxFileSize || f.error() != QFileDevice::NoError) {
        Why = data.size() > MaxFileSize ? "larger than 1 MiB" : f.errorString().toStdString();
        return false;
    }
    Text = data.toStdString();
    return true;
}

// A pty is no connector: /dev/pts numbers are handed out again at once.
bool IsPty(const std::string& DevicePath)
{
    return CanonicalDevicePath(DevicePath).rfind("/dev/pts/", 0) == 0;
}

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::string SlotKey(const std::string& DevicePath, int* ComNumber)
{
    if (ComNumber)
        *ComNumber = 0;
    if (DevicePath.empty())
        return {};
    const char* comDir = std::getenv("VELTRAC_COM_DIR");
    if (comDir && *comDir) {
        if (const int n = ComNumberOfPath(DevicePath); n > 0) {
            if (ComNumber)
                *ComNumber = n;
            return "com" + std::to_string(n);
        }
    }
    const std::string physical = PhysicalPortPath(DevicePath);
    return physical.empty() ? DevicePath : physical;
}

int CompareNatural(const std::string& A, const std::string& B)
{
    std::size_t i = 0, j = 0;
    while (i < A.size() && j < B.size()) {
        if (Digit(A[i]) && Digit(B[j])) {
            std::size_t ie = i, je = j;
            while (ie < A.size() && Digit(A[ie]))
                ++ie;
            while (je < B.size() && Digit(B[je]))
                ++je;
            while (i + 1 < ie && A[i] == '0')
                ++i;
            while (j + 1 < je && B[j] == '0')
                ++j;
            if (ie - i != je - j)
                return ie - i < je - j ? -1 : 1;
            if (const int c = A.compare(i, ie - i, B, j, je - j); c != 0)
                return c < 0 ? -1 : 1;
            i = ie;
            j = je;
            continue;
        }
        const char a = Lower(A[i]), b = Lower(B[j]);
        if (a != b)
            return static_cast<unsigned char>(a) < static_cast<unsigned char>(b) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < A.size())
        return 1;
    return j < B.size() ? -1 : 0;
}

bool SlotBefore(const TSlot& A, const TSlot& B)
{
    const bool comA = A.ComNumber > 0, comB = B.ComNumber > 0;
    if (comA != comB)
        return comA;
    if (comA && A.ComNumber != B.ComNumber)
        return A.ComNumber < B.ComNumber;
    if (const int c = CompareNatural(A.Name, B.Name); c != 0)
        return c < 0;
    return A.Key < B.Key;
}

std::string DefaultSlotStore()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return config.isEmpty() ? std::string() : (config + "/veltrac-gnss-update/slots.conf").toStdString();
}

TSlotNames::TSlotNames(const std::string& StorePath) : FStorePath(StorePath)
{
    LoadStore();
}

void TSlotNames::LoadStore()
{
    if (FStorePath.empty()) {
        FNoSaving = "no folder for settings (is HOME set?)";
        Warn(FNoSaving + ": slot numbers hold for this run only");
        return;
    }
    if (!QFileInfo::exists(QString::fromStdString(FStorePath)))
        return;
    std::string text, why;
    if (!ReadText(FStorePath, text, why)) {
        // Writing would replace names that may well be fine.
        FNoSaving = "it could not be read";
        Warn("cannot read the slot names kept in " + FStorePath + " (" + why +
             "): it is left as it is, and slot numbers hold for this run only");
        return;
    }
    const TParsed parsed = Parse(text, FStorePath);
    for (const TEntry& e : parsed.Entries)
        FKept[e.Key] = e.Name;
    if (parsed.Errors.empty())
        return;
    // The bad lines may be names someone can mend; keep them beside it.
    const QString path = QString::fromStdString(FStorePath), bad = path + ".bad";
    QFile::remove(bad);
    if (!QFile::copy(path, bad)) {
        FNoSaving = "it has bad lines and cannot be copied aside";
        Warn(Joined(parsed.Errors) + "\ncannot copy it to " + bad.toStdString() +
             ": it is left as it is, and slot numbers hold for this run only");
        return;
    }
    Warn(Joined(parsed.Errors) + "\nthe other " + std::to_string(parsed.Entries.size()) +
         " slot names are kept; the file as it was is in " + bad.toStdString());
}

bool TSlotNames::LoadSlotsFile(const std::string& Path, std::string& Error)
{
    std::string text, why;
    if (!ReadText(Path, text, why)) {
        Error = "cannot read the slots file " + Path + ": " + why;
        return false;
    }
    const TParsed parsed = Parse(text, Path);
    if (!parsed.Errors.empty()) {
        Error = Joined(parsed.Errors);
        return false;
    }
    FSlotsFile = Path;
    FFromFile.clear();
    for (const TEntry& e : parsed.Entries)
        FFromFile[e.Key] = e.Name;
    for (const auto& [key, name] : FKept) {
        if (FFromFile.count(key))
            continue;
        for (const auto& [fileKey, fileName] : FFromFile)
            if (fileName == name)
                Warn(Path + " names " + fileKey + " \"" + name + "\", which was " + key +
                     "'s name: that slot gets another when it is seen");
    }
    return true;
}

std::string TSlotNames::NameOf(const std::string& Key) const
{
    if (const auto it = FFromFile.find(Key); it != FFromFile.end())
        return it->second;
    if (const auto it = FKept.find(Key); it != FKept.end()) {
        const bool lost = std::any_of(FFromFile.begin(), FFromFile.end(),
                                      [&](const auto& e) { return e.second == it->second; });
        if (!lost)
            return it->second;
    }
    if (const auto it = FRunOnly.find(Key); it != FRunOnly.end())
        return it->second;
    return {};
}

// Every name held, also a kept one that the slots file overrides, so that
// the kept file never holds one name twice.
bool TSlotNames::Taken(const std::string& Name, const std::string& ExceptKey) const
{
    for (const auto* names : {&FFromFile, &FKept, &FRunOnly})
        for (const auto& [key, name] : *names)
            if (key != ExceptKey && name == Name)
                return true;
    return false;
}

std::string TSlotNames::NextFreeName() const
{
    for (int n = 1;; ++n)
        if (std::string name = "Slot " + std::to_string(n); !Taken(name, {}))
            return name;
}

TSlot TSlotNames::SlotOf(const std::string& DevicePath)
{
    TSlot slot;
    slot.Key = SlotKey(DevicePath, &slot.ComNumber);
    if (slot.Key.empty())
        return slot;
    slot.Name = NameOf(slot.Key);
    if (!slot.Name.empty())
        return slot;
    if (slot.ComNumber > 0) {
        slot.Name = "COM " + std::to_string(slot.ComNumber);
        return slot;
    }
    slot.Name = NextFreeName();
    if (IsPty(slot.Key)) {
        FRunOnly[slot.Key] = slot.Name;
        return slot;
    }
    FKept[slot.Key] = slot.Name;
    std::string why;
    if (!Save(why))
        Warn("cannot keep the slot numbers in " + FStorePath + " (" + why + "): they hold for this run only");
    return slot;
}

bool TSlotNames::Rename(const std::string& Key, const std::string& Name, std::string& Error)
{
    const std::string name = Trim(Name);
    std::string why = KeyProblem(Key);
    if (why.empty())
        why = NameProblem(name);
    if (why.empty() && FFromFile.count(Key))
        why = "the slots file " + FSlotsFile + " names this slot: change its name there";
    if (why.empty() && Taken(name, Key))
        why = "another slot is called \"" + name + "\" already";
    if (!why.empty()) {
        Error = why;
        return false;
    }
    if (FRunOnly.count(Key) || IsPty(Key)) {
        FRunOnly[Key] = name;
        return true;
    }
    const auto old = FKept.find(Key);
    const std::optional<std::string> before =
        old == FKept.end() ? std::nullopt : std::optional<std::string>(old->second);
    FKept[Key] = name;
    if (Save(why))
        return true;
    if (before)
        FKept[Key] = *before;
    else
        FKept.erase(Key);
    Error = "cannot save the slot name in " + FStorePath + ": " + why;
    return false;
}

bool TSlotNames::Save(std::string& Why)
{
    if (!FNoSaving.empty()) {
        Why = FNoSaving;
        return false;
    }
    const QString path = QString::fromStdString(FStorePath);
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        Why = "cannot create its folder";
        return false;
    }
    std::vector<std::pair<std::string, std::string>> entries(FKept.begin(), FKept.end());
    std::sort(entries.begin(), entries.end(), [](const auto& A, const auto& B) {
        const int c = CompareNatural(A.second, B.second);
        return c != 0 ? c < 0 : A.first < B.first;
    });
    std::string text = "# The station's slots, one a line: PATH = NAME (see --slots).\n"
                       "# Slots get numbers here when first seen; the station keeps names given in it.\n";
    for (const auto& [key, name] : entries)
        text += key + " = " + name + "\n";
    // A new file renamed over the old one: a crash or a full disk leaves the
    // old names, never half of them.
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) ||
        f.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !f.commit()) {
        Why = f.errorString().toStdString();
        return false;
    }
    return true;
}

void TSlotNames::Warn(const std::string& Text)
{
    if (FSaid.insert(Text).second)
        FWarnings.push_back(Text);
}

std::vector<std::string> TSlotNames::TakeWarnings()
{
    return std::exchange(FWarnings, {});
}
