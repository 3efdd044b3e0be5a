#pragma once
// The one error the record store raises. Its message already names the
// destination with any password masked, so it can be printed as it stands.
#include <stdexcept>
#include <string>

enum class TRecordFault {
    Refused,      // not ours or not usable as configured: a newer schema, a foreign table, a bad file
    LoginRefused, // the server turned the login down (password, role, database, pg_hba.conf)
    Unreachable,  // the server did not answer or went away: worth another try later
    Failed        // the record itself could not be stored (a full disk, a short write)
};

class TRecordError : public std::runtime_error
{
  public:
    TRecordError(TRecordFault Fault, const std::string& Message) : std::runtime_error(Message), Fault(Fault)
    {
    }
    TRecordFault Fault;
};
