#include "serial/AppException.h"

#include <cstdio>
#include <mutex>

namespace
{
std::mutex HandlerLock;
TApplicationExceptionHandler Handler;
thread_local const void* CurrentOwner = nullptr;
} // namespace

TExceptionOwner::TExceptionOwner(const void* Owner) : FPrevious(CurrentOwner)
{
    CurrentOwner = Owner;
}

TExceptionOwner::~TExceptionOwner()
{
    CurrentOwner = FPrevious;
}

const void* ExceptionOwner()
{
    return CurrentOwner;
}

void SetApplicationExceptionHandler(TApplicationExceptionHandler H)
{
    std::lock_guard<std::mutex> g(HandlerLock);
    Handler = std::move(H);
}

void ApplicationHandleException(const std::exception& E) noexcept
{
    if (dynamic_cast<const EAbort*>(&E))
        return;
    TApplicationExceptionHandler h;
    {
        std::lock_guard<std::mutex> g(HandlerLock);
        h = Handler;
    }
    try {
        if (h) {
            h(E);
            return;
        }
    } catch (const std::exception& Inner) {
        std::fprintf(stderr, "Exception in the exception handler: %s\n", Inner.what());
    } catch (...) {
        std::fprintf(stderr, "Unknown exception in the exception handler\n");
    }
    std::fprintf(stderr, "%s\n", E.what());
}

void ApplicationHandleCurrentException() noexcept
{
    try {
        throw;
    } catch (const std::exception& E) {
        ApplicationHandleException(E);
    } catch (...) {
        ApplicationHandleException(std::runtime_error("Unknown exception"));
    }
}
