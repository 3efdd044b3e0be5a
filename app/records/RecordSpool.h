#pragma once
// The local spool in front of a PostgreSQL destination: every record is
// stored here first and forwarded from here in order. Records of several
// destinations (and of several processes) may share one spool file; each
// destination (by its masked name, so no password is written to disk) only
// sees its own.
#include "app/records/SqliteConnection.h"

#include <cstdint>
#include <optional>

// $XDG_DATA_HOME/veltrac-gnss-update/spool.sqlite, or under ~/.local/share.
std::string DefaultSpoolPath();

class TRecordSpool
{
  public:
    // Creates the file (and its folder) if need be. Throws TRecordError.
    TRecordSpool(const std::string& Path, const std::string& Destination, int BusyTimeoutMs);

    struct TEntry {
        int64_t Seq = 0;
        TRunRow Row;
        bool End = false;
    };
    void Add(const TRunRow& Row, bool End);
    // The oldest record of the destination, if any.
    std::optional<TEntry> Next();
    void Remove(int64_t Seq);
    // Records of the destination waiting to be forwarded.
    int Count();

  private:
    TSqliteConnection FDb;
    std::string FDestination;
};
