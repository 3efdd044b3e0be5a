#pragma once
// The command line's handlers run inside the session's and the link's
// callbacks and Qt's timers: nothing may escape from them into their callers.
#include <cstdio>
#include <exception>

template <typename F> void Guarded(F&& Body)
{
    try {
        Body();
    } catch (const std::exception& E) {
        std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n", E.what());
    } catch (...) {
        std::fprintf(stderr, "veltrac-gnss-update-cli: unknown exception\n");
    }
}
