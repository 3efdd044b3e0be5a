#pragma once
// The serial layer's errors, as the rest of the program sees them. Whatever a
// port raises about itself (it cannot be opened, a setting is refused, a read
// or write failed, the device hung up) is an EPortError; the component's and
// the port core's own classes derive from it.
#include <exception>
#include <stdexcept>

class EPortError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

inline bool IsPortError(const std::exception& E)
{
    return dynamic_cast<const EPortError*>(&E) != nullptr;
}
