#pragma once
// One place where exceptions that reach the event loop end up. Qt's event
// loop must never see an exception: every entry from the loop (slots, timer
// ticks, the call-service dispatch, port events) catches and hands the
// exception here. The window installs a handler that shows a message box,
// the command line one that prints; the default prints to stderr.
#include <exception>
#include <functional>
#include <stdexcept>

// The silent abort: raised to leave an operation quietly, never shown.
class EAbort : public std::runtime_error
{
  public:
    EAbort() : std::runtime_error("Operation aborted") {}
};

using TApplicationExceptionHandler = std::function<void(const std::exception& E)>;

// The object the main thread works for while it runs one of that object's
// events (a port's, a link's, an update session's). An exception handled
// while a scope is open belongs to its owner, so that a program driving
// several devices can end that device's run alone. Scopes nest; the
// innermost counts. The owner is an identity only, never dereferenced.
class TExceptionOwner
{
  public:
    explicit TExceptionOwner(const void* Owner);
    ~TExceptionOwner();
    TExceptionOwner(const TExceptionOwner&) = delete;
    TExceptionOwner& operator=(const TExceptionOwner&) = delete;

  private:
    const void* FPrevious;
};

// The owner of the exception being handled now (the innermost open scope);
// null when no object claimed the work.
const void* ExceptionOwner();

// Installs the handler; an empty function restores the default (stderr).
void SetApplicationExceptionHandler(TApplicationExceptionHandler Handler);

// Reports E through the handler; EAbort is ignored.
void ApplicationHandleException(const std::exception& E) noexcept;

// For use inside a catch block: reports the exception being handled,
// whatever its type.
void ApplicationHandleCurrentException() noexcept;
