#include "app/records/RecordDestination.h"

#include <cctype>
#include <cstring>
#include <libpq-fe.h>

namespace
{

bool StartsWith(const std::string& S, const std::string& Prefix)
{
    return S.compare(0, Prefix.size(), Prefix) == 0;
}

bool EndsWith(const std::string& S, const std::string& Suffix)
{
    return S.size() >= Suffix.size() && S.compare(S.size() - Suffix.size(), Suffix.size(), Suffix) == 0;
}

std::string PercentDecoded(const std::string& S)
{
    std::string Out;
    for (std::size_t i = 0; i < S.size(); ++i) {
        if (S[i] == '%' && i + 2 < S.size() && std::isxdigit(static_cast<unsigned char>(S[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(S[i + 2]))) {
            Out += static_cast<char>(std::stoi(S.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            Out += S[i];
        }
    }
    return Out;
}

// Where the passwords of a URI stand: after the user in "user:password@", as
// libpq reads it (the part up to the first '@' before any '/'), and as the
// value of a "password" parameter.
std::vector<std::pair<std::size_t, std::size_t>> PasswordSpans(const std::string& Uri)
{
    std::vector<std::pair<std::size_t, std::size_t>> Spans;
    const std::size_t Start = Uri.find("://");
    if (Start == std::string::npos)
        return Spans;
    const std::size_t Authority = Start + 3;
    const std::size_t At = Uri.find_first_of("@/", Authority);
    std::size_t Rest = Authority;
    if (At != std::string::npos && Uri[At] == '@') {
        const std::size_t Colon = Uri.find(':', Authority);
        if (Colon < At)
            Spans.emplace_back(Colon + 1, At - Colon - 1);
        Rest = At + 1;
    }
    const std::size_t Query = Uri.find('?', Rest);
    if (Query == std::string::npos)
        return Spans;
    for (std::size_t P = Query + 1; P <= Uri.size();) {
        std::size_t End = Uri.find('&', P);
        if (End == std::string::npos)
            End = Uri.size();
        const std::size_t Eq = Uri.find('=', P);
        if (Eq < End && PercentDecoded(Uri.substr(P, Eq - P)) == "password")
            Spans.emplace_back(Eq + 1, End - Eq - 1);
        P = End + 1;
    }
    return Spans;
}

TDestinationParse Refuse(const std::string& Error)
{
    TDestinationParse P;
    P.Error = Error;
    return P;
}

} // namespace

std::string TRecordDestination::Display() const
{
    if (Kind != TRecordKind::Postgres)
        return Kind == TRecordKind::Sqlite ? "sqlite:" + Path : Path;
    std::string Out = Uri;
    const auto Spans = PasswordSpans(Uri);
    for (auto S = Spans.rbegin(); S != Spans.rend(); ++S)
        Out.replace(S->first, S->second, "***");
    return Out;
}

std::string TRecordDestination::Masked(const std::string& Text) const
{
    std::string Out = Text;
    for (const std::string& Secret : Secrets)
        for (std::size_t P = Out.find(Secret); P != std::string::npos; P = Out.find(Secret, P + 3))
            Out.replace(P, Secret.size(), "***");
    return Out;
}

TDestinationParse ParseRecordDestination(const std::string& Text)
{
    if (Text.empty())
        return Refuse("the record destination is empty: give a file, sqlite:PATH or postgresql://…");
    TDestinationParse P;
    TRecordDestination& D = P.Destination;
    if (StartsWith(Text, "postgresql://") || StartsWith(Text, "postgres://")) {
        D.Kind = TRecordKind::Postgres;
        D.Uri = Text;
        for (const auto& [Pos, Length] : PasswordSpans(Text)) {
            const std::string Raw = Text.substr(Pos, Length);
            for (const std::string& S : {Raw, PercentDecoded(Raw)})
                if (!S.empty())
                    D.Secrets.push_back(S);
        }
        char* Error = nullptr;
        PQconninfoOption* Options = PQconninfoParse(Text.c_str(), &Error);
        if (!Options) {
            std::string Why = Error ? Error : "out of memory";
            PQfreemem(Error);
            while (!Why.empty() && (Why.back() == '\n' || Why.back() == ' '))
                Why.pop_back();
            return Refuse("the record destination " + D.Display() +
                          " is not a PostgreSQL connection URI: " + D.Masked(Why));
        }
        // libpq only finds a bad port when it connects: told here, before any device is touched.
        std::string BadPort;
        for (const PQconninfoOption* O = Options; O->keyword; ++O)
            if (std::strcmp(O->keyword, "port") == 0 && O->val &&
                std::string(O->val).find_first_not_of("0123456789,") != std::string::npos)
                BadPort = O->val;
        PQconninfoFree(Options);
        if (!BadPort.empty())
            return Refuse("the record destination " + D.Display() + " names the port \"" + D.Masked(BadPort) +
                          "\", which is not a number");
        return P;
    }
    if (StartsWith(Text, "sqlite:")) {
        D.Kind = TRecordKind::Sqlite;
        D.Path = Text.substr(7);
    } else if (Text.find("://") != std::string::npos) {
        // Only the scheme is named: the rest may hold a password.
        return Refuse("the record destination " + Text.substr(0, Text.find("://") + 3) +
                      "… is of no kind known here: give a file, sqlite:PATH or postgresql://…");
    } else {
        D.Path = Text;
        if (EndsWith(Text, ".sqlite") || EndsWith(Text, ".sqlite3") || EndsWith(Text, ".db"))
            D.Kind = TRecordKind::Sqlite;
    }
    // SQLite keeps an empty name or ":memory:" in memory: every record would be lost at exit.
    if (D.Kind == TRecordKind::Sqlite && (D.Path.empty() || D.Path == ":memory:"))
        return Refuse("the record destination " + Text + " names no database file: give sqlite:PATH");
    return P;
}
