#include "serial/Component.h"

#include <algorithm>

TComponent::~TComponent()
{
    NotifyFree();
}

void TComponent::AddFreeNotification(const void* Key, std::function<void(TComponent*)> Callback)
{
    RemoveFreeNotification(Key);
    FFreeNotifies.emplace_back(Key, std::move(Callback));
}

void TComponent::RemoveFreeNotification(const void* Key)
{
    FFreeNotifies.erase(std::remove_if(FFreeNotifies.begin(), FFreeNotifies.end(),
                                       [Key](const auto& e) { return e.first == Key; }),
                        FFreeNotifies.end());
}

void TComponent::NotifyFree()
{
    // A listener may remove itself (or others) while being told.
    while (!FFreeNotifies.empty()) {
        auto e = std::move(FFreeNotifies.back());
        FFreeNotifies.pop_back();
        if (e.second)
            e.second(this);
    }
}
