#include "app/SessionLog.h"

#include "app/SessionStatus.h"

void TSessionLog::SetTrace(std::function<void(TUpdateSession* Sender, const std::string& Line)> Trace)
{
    OnTrace = std::move(Trace);
    std::vector<std::string> Held;
    Held.swap(FHeld);
    for (const std::string& Line : Held)
        this->Trace(Line);
}

void TSessionLog::UnitFrame(bool Outgoing, uint8_t Cmd, const std::string& Data)
{
    if (OnUnitFrame)
        OnUnitFrame(FOwner, Outgoing, Cmd, Data);
    if (OnTrace)
        Trace(UnitFrameTrace(Outgoing, Cmd, Data));
}

void TSessionLog::ModuleFrame(bool Outgoing, const std::string& Bytes)
{
    if (OnModuleFrame)
        OnModuleFrame(FOwner, Outgoing, Bytes);
    if (OnTrace)
        Trace(ModuleFrameTrace(Outgoing, Bytes));
}

void TSessionLog::Trace(const std::string& Line)
{
    constexpr std::size_t MaxHeld = 32;
    if (OnTrace)
        OnTrace(FOwner, Line);
    else if (Line.starts_with("# ") && FHeld.size() < MaxHeld)
        FHeld.push_back(Line);
}
