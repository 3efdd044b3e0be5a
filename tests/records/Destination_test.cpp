// Destination texts: which store each names, and that no password is ever shown.
#include "app/records/RecordDestination.h"

#include <gtest/gtest.h>

TEST(RecordDestination, KindsByTheirText)
{
    struct {
        const char* Text;
        TRecordKind Kind;
        const char* Path;
    } Cases[] = {
        {"records.jsonl", TRecordKind::JsonLines, "records.jsonl"},
        {"/var/log/veltrac", TRecordKind::JsonLines, "/var/log/veltrac"},
        {"sqlite:/srv/line.data", TRecordKind::Sqlite, "/srv/line.data"},
        {"sqlite:relative.file", TRecordKind::Sqlite, "relative.file"},
        {"station.db", TRecordKind::Sqlite, "station.db"},
        {"/x/station.sqlite", TRecordKind::Sqlite, "/x/station.sqlite"},
        {"/x/station.sqlite3", TRecordKind::Sqlite, "/x/station.sqlite3"},
        {"postgresql://db.line/records", TRecordKind::Postgres, ""},
        {"postgres:///records?host=/run/postgresql", TRecordKind::Postgres, ""},
        {"postgresql://", TRecordKind::Postgres, ""}, // everything from PG* and .pgpass
    };
    for (const auto& C : Cases) {
        const TDestinationParse P = ParseRecordDestination(C.Text);
        ASSERT_TRUE(P.Ok()) << C.Text << ": " << P.Error;
        EXPECT_EQ(P.Destination.Kind, C.Kind) << C.Text;
        EXPECT_EQ(P.Destination.Path, C.Path) << C.Text;
        if (C.Kind == TRecordKind::Postgres) {
            EXPECT_EQ(P.Destination.Uri, C.Text) << "libpq gets the URI as it is";
        }
    }
}

TEST(RecordDestination, MalformedTextsAreRefusedWithoutTheirPassword)
{
    for (const char* Text : {"", "sqlite:", "sqlite::memory:", "mysql://u:hunter2@h/db",
                             "postgresql://u:hunter2@h/db?nonsense=1", "postgresql://u:hunter2@[::1/db",
                             "postgresql://u:hunter2@h:port/db"}) {
        const TDestinationParse P = ParseRecordDestination(Text);
        EXPECT_FALSE(P.Ok()) << Text;
        EXPECT_FALSE(P.Error.empty()) << Text;
        EXPECT_EQ(P.Error.find("hunter2"), std::string::npos) << P.Error;
    }
}

TEST(RecordDestination, PasswordsAreMaskedInTheDisplayAndInMessages)
{
    struct {
        const char* Uri;
        const char* Display;
    } Cases[] = {
        {"postgresql://line:hunter2@db:5432/records", "postgresql://line:***@db:5432/records"},
        {"postgresql://line@db/records?password=hunter2&sslmode=require",
         "postgresql://line@db/records?password=***&sslmode=require"},
        {"postgres://line:hun%40ter2@db/records?connect_timeout=3&password=x2",
         "postgres://line:***@db/records?connect_timeout=3&password=***"},
        {"postgresql://line@db/records", "postgresql://line@db/records"},
    };
    for (const auto& C : Cases) {
        const TDestinationParse P = ParseRecordDestination(C.Uri);
        ASSERT_TRUE(P.Ok()) << P.Error;
        EXPECT_EQ(P.Destination.Display(), C.Display);
    }
    // The decoded form too: a server or libpq message may echo either.
    const TRecordDestination D = ParseRecordDestination("postgresql://u:hun%40ter2@h/db").Destination;
    EXPECT_EQ(D.Masked("bad token \"hun%40ter2\" or hun@ter2"), "bad token \"***\" or ***");
    EXPECT_EQ(ParseRecordDestination("sqlite:/a/b.db").Destination.Display(), "sqlite:/a/b.db");
}
