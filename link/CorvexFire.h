#pragma once
// Calls an event when it is assigned. The handler runs on a copy, so it may
// reassign or clear the very event that is calling it.
#include <utility>

template <class F, class... A> void CX_Fire(const F& Event, A&&... Args)
{
    if (Event) {
        F Copy = Event;
        Copy(std::forward<A>(Args)...);
    }
}
