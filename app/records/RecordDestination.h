#pragma once
// Where the production records go: a JSON Lines file (one result line per
// run), an SQLite database file for a station, or a PostgreSQL database that a
// line of stations shares.
#include <string>
#include <vector>

enum class TRecordKind { JsonLines, Sqlite, Postgres };

struct TRecordDestination {
    TRecordKind Kind = TRecordKind::JsonLines;
    std::string Path; // JSON Lines, SQLite: the file
    std::string Uri;  // PostgreSQL: the libpq connection URI exactly as given
    // The passwords written into the URI (raw and decoded), masked wherever they appear.
    std::vector<std::string> Secrets;

    // The destination as it may be printed: any password is "***".
    std::string Display() const;
    // Text (a libpq or server message) with every password of the URI masked.
    std::string Masked(const std::string& Text) const;
};

struct TDestinationParse {
    TRecordDestination Destination;
    std::string Error; // empty when the text is a destination
    bool Ok() const { return Error.empty(); }
};

// A plain path: JSON Lines; "sqlite:PATH" or a path ending .sqlite/.sqlite3/.db:
// SQLite; "postgresql://…" or "postgres://…": PostgreSQL (checked by libpq's own parser).
TDestinationParse ParseRecordDestination(const std::string& Text);
