#include "serial/AppException.h"
#include "serial/SafeSync.h"

#include "tests/common/QtWait.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

// Long enough that a caller that waits for its full time-out instead of
// returning would make the test fail its generous waits below.
constexpr uint32_t LongTimeoutMs = 120000;

namespace
{

bool ReadyWithin(std::future<bool>& F, int Seconds)
{
    return F.wait_for(std::chrono::seconds(Seconds)) == std::future_status::ready;
}

} // namespace

TEST(SafeSync, TableHoldsSixtyFourTargets)
{
    std::vector<uint32_t> ids;
    for (int i = 0; i < SafeSyncSlotCount; ++i) {
        const uint32_t id = SafeSyncRegister([](int32_t) {});
        ASSERT_NE(id, 0u) << "registration " << i + 1;
        ids.push_back(id);
    }
    EXPECT_EQ(SafeSyncRegister([](int32_t) {}), 0u) << "the 65th registration";

    // A freed slot is reused, under a new id.
    const uint32_t old = ids[10];
    ASSERT_TRUE(SafeSyncUnregister(old));
    const uint32_t fresh = SafeSyncRegister([](int32_t) {});
    EXPECT_NE(fresh, 0u);
    EXPECT_NE(fresh, old);
    EXPECT_FALSE(SafeSyncEnable(old, true)) << "the old id is gone";
    ids[10] = fresh;
    for (uint32_t id : ids)
        EXPECT_TRUE(SafeSyncUnregister(id));
}

TEST(SafeSync, UnknownIdsChangeNothing)
{
    int runs = 0;
    const uint32_t id = SafeSyncRegister([&](int32_t) { ++runs; });
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(SafeSyncEnable(id, true));

    EXPECT_FALSE(SafeSyncUnregister(id + 1000));
    EXPECT_FALSE(SafeSyncUnregister(0)) << "id 0 is never handed out";
    EXPECT_FALSE(SafeSyncEnable(id + 1000, true));

    // The registered target still works.
    auto f = std::async(std::launch::async, [&] { return SafeSyncCall(id, LongTimeoutMs); });
    ASSERT_TRUE(WaitFor([&] { return runs == 1; }, 30000));
    ASSERT_TRUE(ReadyWithin(f, 30));
    EXPECT_TRUE(f.get());
    EXPECT_TRUE(SafeSyncUnregister(id));
    EXPECT_FALSE(SafeSyncUnregister(id)) << "a second unregistration";
}

TEST(SafeSync, TargetRunsInTheMainThreadOneAtATime)
{
    const auto mainId = std::this_thread::get_id();
    std::atomic<int> inside{0};
    int maxInside = 0;
    int runs = 0;
    bool allInMain = true;
    int32_t slot = 0;
    const uint32_t id = SafeSyncRegister([&](int32_t Slot) {
        slot = Slot;
        maxInside = std::max(maxInside, ++inside);
        allInMain = allInMain && std::this_thread::get_id() == mainId;
        ++runs;
        --inside;
    });
    ASSERT_TRUE(SafeSyncEnable(id, true));
    std::vector<std::future<bool>> calls;
    for (int i = 0; i < 8; ++i)
        calls.push_back(std::async(std::launch::async, [&] { return SafeSyncCall(id, LongTimeoutMs); }));
    ASSERT_TRUE(WaitFor([&] { return runs == 8; }, 30000));
    for (auto& f : calls) {
        ASSERT_TRUE(ReadyWithin(f, 30));
        EXPECT_TRUE(f.get());
    }
    EXPECT_TRUE(allInMain);
    EXPECT_EQ(maxInside, 1);
    EXPECT_GE(slot, 1);
    EXPECT_LE(slot, SafeSyncSlotCount);
    SafeSyncUnregister(id);
}

TEST(SafeSync, DisabledTargetReturnsFalseAtOnceAndRunsNothing)
{
    int runs = 0;
    const uint32_t id = SafeSyncRegister([&](int32_t) { ++runs; });
    ASSERT_NE(id, 0u);
    // Registered targets start disabled. The main thread does not serve
    // events while it waits, so only an immediate return lets the call end.
    auto f = std::async(std::launch::async, [&] { return SafeSyncCall(id, LongTimeoutMs); });
    ASSERT_TRUE(ReadyWithin(f, 30));
    EXPECT_FALSE(f.get());
    Pump(100);
    EXPECT_EQ(runs, 0) << "nothing was sent";

    ASSERT_TRUE(SafeSyncEnable(id, true));
    ASSERT_TRUE(SafeSyncEnable(id, false));
    auto g = std::async(std::launch::async, [&] { return SafeSyncCall(id, LongTimeoutMs); });
    ASSERT_TRUE(ReadyWithin(g, 30));
    EXPECT_FALSE(g.get());
    SafeSyncUnregister(id);
}

TEST(SafeSync, TargetDisabledInFlightIsSkippedAndTheCallerReleased)
{
    int runs = 0;
    const uint32_t id = SafeSyncRegister([&](int32_t) { ++runs; });
    ASSERT_TRUE(SafeSyncEnable(id, true));
    std::atomic<bool> calling{false};
    auto f = std::async(std::launch::async, [&] {
        calling = true;
        return SafeSyncCall(id, LongTimeoutMs);
    });
    while (!calling)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let the call get posted
    // Without serving the call, the main thread switches the target off, as
    // a closing port does before it joins its event thread.
    ASSERT_TRUE(SafeSyncEnable(id, false));
    ASSERT_TRUE(ReadyWithin(f, 30)) << "the waiting caller is released by the disable";
    EXPECT_FALSE(f.get());
    Pump(100);
    EXPECT_EQ(runs, 0) << "the main thread skips the disabled target";
    SafeSyncUnregister(id);
}

TEST(SafeSync, UnregisteringReleasesAWaitingCaller)
{
    const uint32_t id = SafeSyncRegister([](int32_t) {});
    ASSERT_TRUE(SafeSyncEnable(id, true));
    std::promise<void> started;
    std::thread worker;
    bool result = true;
    worker = std::thread([&] {
        started.set_value();
        result = SafeSyncCall(id, LongTimeoutMs);
    });
    started.get_future().wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(SafeSyncUnregister(id));
    // Joining in the main thread, which serves nothing meanwhile: it must not hang.
    worker.join();
    EXPECT_FALSE(result);
}

TEST(SafeSync, TargetSlowerThanTheTimeoutStillReportsEnabled)
{
    std::atomic<bool> callerDone{false};
    bool sawCallerDone = false;
    const uint32_t id = SafeSyncRegister([&](int32_t) {
        // Keep the main thread here until the caller has given up waiting.
        for (int i = 0; i < 30000 && !callerDone; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sawCallerDone = callerDone;
    });
    ASSERT_TRUE(SafeSyncEnable(id, true));
    auto f = std::async(std::launch::async, [&] {
        const bool r = SafeSyncCall(id, 100);
        callerDone = true;
        return r;
    });
    ASSERT_TRUE(WaitFor([&] { return callerDone.load(); }, 60000));
    ASSERT_TRUE(ReadyWithin(f, 30));
    EXPECT_TRUE(f.get()) << "a time-out alone does not make the call fail";
    EXPECT_TRUE(sawCallerDone);
    SafeSyncUnregister(id);
}

TEST(SafeSync, ExceptionOfATargetGoesToTheApplicationHandler)
{
    std::vector<std::string> reported;
    SetApplicationExceptionHandler([&](const std::exception& E) { reported.push_back(E.what()); });
    int calls = 0;
    const uint32_t id = SafeSyncRegister([&](int32_t) {
        if (++calls == 1)
            throw std::runtime_error("handler failed");
        throw EAbort();
    });
    ASSERT_TRUE(SafeSyncEnable(id, true));
    for (int i = 0; i < 2; ++i) {
        auto f = std::async(std::launch::async, [&] { return SafeSyncCall(id, LongTimeoutMs); });
        ASSERT_TRUE(
            WaitFor([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 30000));
        EXPECT_TRUE(f.get()) << "the caller is released normally";
    }
    SetApplicationExceptionHandler(nullptr);
    ASSERT_EQ(reported.size(), 1u) << "the silent abort is not shown";
    EXPECT_EQ(reported[0], "handler failed");
    SafeSyncUnregister(id);
}

TEST(SafeSync, CallFromTheMainThreadRunsAtOnce)
{
    int runs = 0;
    const uint32_t id = SafeSyncRegister([&](int32_t) { ++runs; });
    ASSERT_TRUE(SafeSyncEnable(id, true));
    EXPECT_TRUE(SafeSyncCall(id, LongTimeoutMs));
    EXPECT_EQ(runs, 1);
    // A target that unregisters itself: the call reports it gone.
    uint32_t self = 0;
    self = SafeSyncRegister([&](int32_t) { SafeSyncUnregister(self); });
    ASSERT_TRUE(SafeSyncEnable(self, true));
    EXPECT_FALSE(SafeSyncCall(self, LongTimeoutMs));
    SafeSyncUnregister(id);
}
