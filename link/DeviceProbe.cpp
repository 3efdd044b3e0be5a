#include "link/DeviceProbe.h"

#include "firmware/SoftUpdate.h"
#include "link/Corvex2.h"
#include "link/CorvexNames.h"
#include "link/ModuleLink.h"
#include "serial/ComPort.h"
#include "util/MyFunctions.h"

TDeviceProbe::TDeviceProbe(const std::string& DevicePath, TProbeKind Kind) : FPath(DevicePath), FKind(Kind)
{
    FTimer.setSingleShot(true);
    QObject::connect(&FTimer, &QTimer::timeout, &FTimer, [this] { EndPhase(); });
}

TDeviceProbe::~TDeviceProbe()
{
    FTimer.stop();
    CloseLinks();
}

void TDeviceProbe::Start()
{
    if (FPhase != TPhase::Idle)
        return;
    if (FKind == TProbeKind::Unit)
        StartUnit();
    else
        StartModule();
}

bool TDeviceProbe::Owns(const void* Owner) const
{
    return Owner && ((FModule && (Owner == FModule.get() || Owner == &FModule->Port())) ||
                     (FUnit && (Owner == FUnit.get() || Owner == &FUnit->Port())));
}

void TDeviceProbe::Fail(const std::string& Message)
{
    // A device that answered before its port failed was found all the same.
    if (FPhase == TPhase::Done || FResult.Found != TProbeFound::Nothing)
        return;
    FResult.Found = TProbeFound::Failed;
    FResult.Error = Message;
    EndSoon();
}

void TDeviceProbe::Found(TProbeFound What)
{
    FResult.Found = What;
    EndSoon();
}

void TDeviceProbe::StartModule()
{
    FPhase = TPhase::Module;
    FModule = std::make_unique<TModuleLink>();
    // The module's controller firmware comes in QVD_FW containers, whose
    // requests are always wide ("{" hi lo "}"), as the update serves them.
    FLoaderRequests = std::make_unique<TSoftwareUpdate>();
    FLoaderRequests->SetWide(true);
    FModule->SetBlockFeed(FLoaderRequests.get());
    FModule->OnIdentity = [this](TModuleLink*, const TModuleIdentity& Identity) {
        if (FResult.Found != TProbeFound::Nothing)
            return;
        FResult.ID = Identity.UnitID;
        FResult.Version = FixedText(Identity.Version, 2);
        FResult.Name = Identity.Class;
        Found(TProbeFound::Module);
    };
    FModule->OnLoaderRequest = [this](TModuleLink*, int32_t) {
        if (FResult.Found == TProbeFound::Nothing)
            Found(TProbeFound::ModuleLoader);
    };
    TComPort& Port = FModule->Port();
    Port.SetDevicePath(FPath);
    Port.OnDataRecived = [this](TComPort*, int32_t) {
        if (FModule)
            FModule->DataReceived();
    };
    Port.OnHangUp = [this](TComPort*, const std::string& Message) { Fail(Message); };
    try {
        Port.Open();
        FModule->SendModuleIdentify();
    } catch (const std::exception& E) {
        NotOpened(E);
        return;
    }
    FTimer.start(ModuleWaitMs);
}

// The port could not be opened (missing, in use, no permission): no answer
// to wait for.
void TDeviceProbe::NotOpened(const std::exception& E)
{
    FResult.Found = TProbeFound::NotOpened;
    FResult.Error = E.what();
    EndSoon();
}

void TDeviceProbe::StartUnit()
{
    FPhase = TPhase::Unit;
    FUnit = std::make_unique<TCorvex>();
    // The frames and texts the update uses; no end-of-connection frames
    // before the wake-up (see the header).
    FUnit->SetConfigType(cxctSTXb);
    FUnit->SetConfigTypeAutoDetect(false);
    FUnit->SetText_ShowRevision(true);
    FUnit->SetCloseBeforeOpen(false);
    FUnit->Port().SetDevicePath(FPath);
    FUnit->Port().OnHangUp = [this](TComPort*, const std::string& Message) { Fail(Message); };
    FUnit->OnGotUnitInfo = [this](TCorvex*, const TCX_UnitInfo& Unit) {
        if (FResult.Found != TProbeFound::Nothing)
            return;
        FResult.ID = std::to_string(Unit.UnitID);
        // A short unit information (01) carries no class.
        FResult.Name = Unit.Class != 0 ? CX_UnitModelName(Unit.Class) : std::string();
        FResult.Version = Unit.VersionText;
        Found(TProbeFound::Unit);
    };
    try {
        FUnit->Open();
    } catch (const std::exception& E) {
        NotOpened(E);
        return;
    }
    FTimer.start(UnitWaitMs);
}

void TDeviceProbe::CloseLinks()
{
    if (FModule) {
        FResult.BytesSent += FModule->BytesSent();
        FModule->Port().Close();
        FModule.reset();
    }
    FLoaderRequests.reset();
    if (FUnit) {
        FResult.BytesSent += FUnit->BytesSent();
        // At once: Close(false) would send the end-of-connection command.
        FUnit->Close(true);
        FUnit.reset();
    }
}

void TDeviceProbe::EndPhase()
{
    const bool Next =
        FPhase == TPhase::Module && FKind == TProbeKind::Both && FResult.Found == TProbeFound::Nothing;
    CloseLinks();
    if (Next) {
        StartUnit();
        return;
    }
    FPhase = TPhase::Done;
    if (OnFinished)
        OnFinished(this);
}

std::string ProbeResultText(const TProbeResult& R)
{
    const auto Detail = [](const std::string& Name, const std::string& Version, const char* What) {
        std::string D = Name;
        if (!Version.empty())
            D += (D.empty() ? "" : ", ") + std::string(What) + " " + Version;
        return D.empty() ? D : " (" + D + ")";
    };
    switch (R.Found) {
    case TProbeFound::Unit:
        return "unit " + R.ID + Detail(R.Name, R.Version, "firmware");
    case TProbeFound::Module:
        return "module " + R.ID + Detail(R.Name, R.Version, "controller");
    case TProbeFound::ModuleLoader:
        return "module asking for controller firmware from its loader";
    case TProbeFound::NotOpened:
        return "could not be opened: " + R.Error;
    case TProbeFound::Failed:
        return "failed: " + R.Error;
    case TProbeFound::Nothing:
        break;
    }
    return "nothing answered";
}
