#include "serial/SafeSync.h"

#include "serial/AppException.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

// The Windows original sends a message to a hidden window and blocks in
// SendMessageTimeout. Here a hidden QObject in the main thread receives a
// posted event, and the caller waits on a condition variable that is also
// woken whenever a target is disabled or removed, so a caller never waits
// for a main thread that has stopped caring about it.

namespace
{

struct TSlot {
    bool Enabled = false;
    TSafeSyncMethod Method;
    uint32_t Id = 0;
};

struct TCallRecord {
    bool Done = false;
};

const QEvent::Type SafeSyncEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class TSafeSyncEvent : public QEvent
{
  public:
    TSafeSyncEvent(uint32_t AId, std::shared_ptr<TCallRecord> ARec)
        : QEvent(SafeSyncEventType), Id(AId), Rec(std::move(ARec))
    {
    }
    uint32_t Id;
    std::shared_ptr<TCallRecord> Rec;
};

class TSafeSyncObj : public QObject
{
  public:
    bool event(QEvent* e) override;
};

std::mutex Lock;
std::condition_variable Cond;
bool Active = false;
TSafeSyncObj* Window = nullptr;
std::unique_ptr<std::array<TSlot, SafeSyncSlotCount>> Table;
uint32_t IdCounter = 0;

// Caller holds Lock.
TSlot* FindSlot(uint32_t Id, int* SlotNo = nullptr)
{
    if (!Active)
        return nullptr;
    for (int i = 0; i < SafeSyncSlotCount; ++i) {
        if ((*Table)[i].Id == Id) {
            if (SlotNo)
                *SlotNo = i + 1;
            return &(*Table)[i];
        }
    }
    return nullptr;
}

// Caller holds Lock.
bool TargetEnabled(uint32_t Id)
{
    const TSlot* s = FindSlot(Id);
    return s && s->Method && s->Enabled;
}

bool InMainThread()
{
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void RunTarget(uint32_t Id)
{
    TSafeSyncMethod method;
    int slotNo = 0;
    {
        std::lock_guard<std::mutex> g(Lock);
        TSlot* s = FindSlot(Id, &slotNo);
        if (!s || !s->Enabled || !s->Method)
            return;
        // A copy: the target may unregister itself while it runs.
        method = s->Method;
    }
    try {
        method(slotNo);
    } catch (...) {
        if (InMainThread())
            ApplicationHandleCurrentException();
    }
}

bool TSafeSyncObj::event(QEvent* e)
{
    // The caller built and posted the event under Lock; taking it here makes
    // that hand-over visible to thread checkers, which cannot see Qt's own
    // futex-based locking.
    {
        std::lock_guard<std::mutex> g(Lock);
    }
    if (e->type() != SafeSyncEventType)
        return QObject::event(e);
    auto* se = static_cast<TSafeSyncEvent*>(e);
    RunTarget(se->Id);
    {
        std::lock_guard<std::mutex> g(Lock);
        se->Rec->Done = true;
    }
    Cond.notify_all();
    return true;
}

} // namespace

uint32_t SafeSyncRegister(TSafeSyncMethod Method)
{
    bool created = false;
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> g(Lock);
        if (!Active) {
            Window = new TSafeSyncObj;
            auto* app = QCoreApplication::instance();
            if (app && Window->thread() != app->thread())
                Window->moveToThread(app->thread());
            Table = std::make_unique<std::array<TSlot, SafeSyncSlotCount>>();
            Active = true;
            created = true;
        }
        for (auto& s : *Table) {
            if (!s.Method) {
                s.Enabled = false;
                s.Method = Method ? std::move(Method) : TSafeSyncMethod([](int32_t) {});
                if (++IdCounter == 0)
                    ++IdCounter;
                s.Id = IdCounter;
                id = s.Id;
                break;
            }
        }
    }
    if (created)
        qAddPostRoutine(SafeSyncShutdown);
    return id;
}

bool SafeSyncUnregister(uint32_t Id)
{
    bool cleared = false;
    {
        std::lock_guard<std::mutex> g(Lock);
        TSlot* s = FindSlot(Id);
        if (s && s->Id != 0) {
            s->Method = nullptr;
            s->Enabled = false;
            s->Id = 0;
            cleared = true;
        }
    }
    if (cleared)
        Cond.notify_all();
    return cleared;
}

bool SafeSyncEnable(uint32_t Id, bool Value)
{
    {
        std::lock_guard<std::mutex> g(Lock);
        TSlot* s = FindSlot(Id);
        if (!s || !s->Method)
            return false;
        s->Enabled = Value;
    }
    Cond.notify_all();
    return true;
}

bool SafeSyncCall(uint32_t Id, uint32_t TimeoutMs)
{
    std::unique_lock<std::mutex> lk(Lock);
    if (!TargetEnabled(Id))
        return false;
    if (QThread::currentThread() == Window->thread()) {
        // Called in the main thread itself: run at once, as a window
        // message sent within its own thread would be.
        lk.unlock();
        RunTarget(Id);
        lk.lock();
        return TargetEnabled(Id);
    }
    auto rec = std::make_shared<TCallRecord>();
    // Posted under the lock so that a shutdown cannot delete the receiver
    // in between; Qt never calls back into this module while posting.
    QCoreApplication::postEvent(Window, new TSafeSyncEvent(Id, rec));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    Cond.wait_until(lk, deadline, [&] { return rec->Done || !TargetEnabled(Id); });
    return TargetEnabled(Id);
}

void SafeSyncShutdown()
{
    TSafeSyncObj* w = nullptr;
    {
        std::lock_guard<std::mutex> g(Lock);
        if (!Active)
            return;
        Active = false;
        w = Window;
        Window = nullptr;
        Table.reset();
    }
    Cond.notify_all();
    if (w) {
        if (QThread::currentThread() == w->thread())
            delete w;
        else
            w->deleteLater();
    }
}
