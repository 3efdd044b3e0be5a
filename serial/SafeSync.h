#pragma once
// Main-thread call service: a worker thread runs a registered method in the
// main thread and waits for it, at most a time-out. The owner of a method
// can switch delivery off before it tears itself down; waiting calls for a
// target that is disabled or unregistered return at once, so a main thread
// that joins a worker never deadlocks on it.
#include <cstdint>
#include <functional>

// The argument is the slot number (1..64) the method was registered in.
using TSafeSyncMethod = std::function<void(int32_t Slot)>;

constexpr int SafeSyncSlotCount = 64;

// Main thread. Returns the target's id, or 0 when all 64 slots are taken.
// The new target starts disabled.
uint32_t SafeSyncRegister(TSafeSyncMethod Method);
// True when a registered target was removed.
bool SafeSyncUnregister(uint32_t Id);
// True when the id names a registered target.
bool SafeSyncEnable(uint32_t Id, bool Value);
// Worker threads. Runs the target in the main thread and waits for it at most
// TimeoutMs. Result: whether the target is still registered and enabled
// afterwards (a time-out alone does not make it False). False at once, with
// nothing run, when the target is unknown or disabled.
bool SafeSyncCall(uint32_t Id, uint32_t TimeoutMs);
// Program end (also installed as a Qt post routine): releases the table and
// wakes every waiting caller.
void SafeSyncShutdown();
