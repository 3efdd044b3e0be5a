#pragma once
// Minimal component base: a name, an owner reference and free notification.
// Ownership is by the C++ holder (a member or a unique_ptr of the owner);
// Owner() is informational.
#include <functional>
#include <string>
#include <vector>

class TComponent
{
  public:
    explicit TComponent(TComponent* AOwner = nullptr) : FOwner(AOwner) {}
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value) { FName = Value; }
    TComponent* Owner() const { return FOwner; }

    // Called after the stored properties have been set (form loading).
    virtual void Loaded() {}

    // Key identifies the listener, so it can be removed again; the callback
    // runs at the start of this component's destruction.
    void AddFreeNotification(const void* Key, std::function<void(TComponent*)> Callback);
    void RemoveFreeNotification(const void* Key);

  protected:
    // Fires the free notifications once; derived destructors call it first
    // so listeners see the component while it is still whole.
    void NotifyFree();

  private:
    TComponent* FOwner;
    std::string FName;
    std::vector<std::pair<const void*, std::function<void(TComponent*)>>> FFreeNotifies;
};
