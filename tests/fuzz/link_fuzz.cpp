// The tracking-unit link receiver fed whatever a line can bring: arbitrary bytes
// in arbitrary chunks, with every event assigned so that every decoder runs,
// and handlers that answer as the update session does (asking for versions,
// parameters, starting the unit's own update). A frame built as the unit sends
// it must come out of a fresh receiver unchanged, however it is split.
#include "firmware/SoftUpdate.h"
#include "link/Corvex2.h"
#include "link/CorvexFrames.h"
#include "serial/AppException.h"
#include "util/MyConvert.h"

#include <QCoreApplication>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace
{

// Thrown by a handler on purpose: the receiver must carry on after it.
struct THandlerFault : std::runtime_error {
    THandlerFault() : std::runtime_error("handler fault") {}
};

TSoftwareVersionCollection* Firmware = nullptr;

std::string Repeat(const std::string& S, int N)
{
    std::string R;
    for (int i = 0; i < N; ++i)
        R += S;
    return R;
}

// Two small unit firmware versions, one per block-number layout.
const char* FirmwareIni()
{
    static const std::string Ini =
        "[narrow]\nTitle=narrow\nAddressWidth=8\nClass=21\nHardware=1\n"
        "Blocks=FC" +
        Repeat("00", 31) + "\n2=" + Repeat("A5", 256) + "\n3=" + Repeat("5A", 100) +
        "\n7=00\n"
        "[wide]\nTitle=wide\nAddressWidth=16\nClass=22\nHardware=2\nHardwareRev=1,3\n"
        "Blocks=07E3F0" +
        Repeat("00", 61) + "\n40=" + Repeat("7B7D", 128) + "\n41=11\n";
    return Ini.c_str();
}

std::string UnitFrame(TCX_ConfigType Mode, uint8_t Cmd, const std::string& Payload)
{
    std::string F = CX_BuildFrame(Mode, Cmd, Payload);
    if (Mode != cxctCore2)
        F[1] = static_cast<char>(CX_UnitAddress);
    return F;
}

void FeedInChunks(TCorvex& CX, const std::string& Bytes, FuzzedDataProvider& P)
{
    std::size_t Pos = 0;
    while (Pos < Bytes.size()) {
        const std::size_t N = P.ConsumeIntegralInRange<std::size_t>(1, 64);
        CX.ExternalComRx(Bytes.substr(Pos, N));
        Pos += N;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Timers need an application object; its loop never runs, so no timer fires.
    static QCoreApplication App(*argc, *argv);
    SetApplicationExceptionHandler([](const std::exception& E) {
        if (dynamic_cast<const THandlerFault*>(&E))
            return;
        // Anything else escaped the link's own code.
        std::fprintf(stderr, "unexpected exception from the link: %s\n", E.what());
        __builtin_trap();
    });
    Firmware = new TSoftwareVersionCollection;
    if (Firmware->LoadFromIniText(FirmwareIni()) != 2)
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzedDataProvider P(Data, Size);
    const auto Mode = static_cast<TCX_ConfigType>(P.ConsumeIntegralInRange<int>(0, 2));
    const bool AutoDetect = P.ConsumeBool();
    const bool ShowRaw = P.ConsumeBool();
    const bool Preselect = P.ConsumeBool();
    const bool Wide = P.ConsumeBool();
    const bool Throwing = P.ConsumeBool();

    std::size_t FedBytes = 0;
    std::size_t ShownBytes = 0;
    {
        TCorvex CX;
        CX.SetExternalCom(true);
        CX.SetConfigType(Mode);
        CX.SetConfigTypeAutoDetect(AutoDetect);
        CX.SetShowRawRX(ShowRaw);
        std::string Sent;
        CX.OnExternalComTx = [&](TCorvex*, const std::string& Tx) { Sent += Tx; };
        CX.OnRX = [&](TCorvex*, const std::string& Rx) { ShownBytes += Rx.size(); };
        CX.OnAfterOpen = [&](TCorvex* S) { S->RequestVersionInfo(true); };
        CX.OnGotUnitInfo = [&](TCorvex*, const TCX_UnitInfo& U) {
            if (Throwing && (U.UnitID & 1))
                throw THandlerFault();
        };
        CX.OnGotVersionInfo = [&](TCorvex* S, const TCX_VersionInfo&) {
            if (S->SelectSoftware(*Firmware, Wide ? "wide" : "") && S->StartSoftwareUpdate(Wide))
                return;
            S->SetGPSReports(true, Wide);
        };
        CX.OnGPSLocation = [&](TCorvex* S, const TCX_GPSLocation&) { S->RequestParameter(65352); };
        CX.OnRequestParameter = [&](TCorvex* S, int32_t Parameter, bool Valid, const std::string& Value,
                                    const std::string& HexValue) {
            (void)Value;
            (void)HexValue;
            if (Parameter == 65352 && Valid)
                S->RequestParameter(65354);
        };
        CX.OnSetParameter = [](TCorvex*, int32_t, bool) {};
        CX.OnEEPromDataWrite = [&](TCorvex* S, bool Ok) {
            if (Ok)
                S->WriteEEPromData(0x1000, "01 02 03");
        };
        CX.OnLoggerStatus = [](TCorvex*, const TCX_LoggerStatus&) {};
        CX.OnSoftwareUpdate = [](TCorvex*, int32_t, int32_t) {};
        CX.OnSoftwareUpdateComplete = [](TCorvex*) {};
        CX.OnGotCommand = [](TCorvex*, uint8_t, const std::string&) {};
        CX.DebugCommands = [](TCorvex*, bool, uint8_t, const std::string&) {};
        CX.OnView = [](TCorvex*, TCX_ViewType, const std::string&) {};
        CX.OnGotVoltage = [](TCorvex*, const TCX_Voltage&) {};
        CX.OnGotTemperature = [](TCorvex*, int32_t, bool, bool, bool) {};
        CX.OnGotPinCodeState = [](TCorvex*, const TCX_PinCodeState&) {};
        CX.OnGotRxQuality = [](TCorvex*, const TCX_RxQuality&) {};
        CX.OnGotConnectState = [](TCorvex*, uint8_t) {};
        CX.OnGotIOState = [](TCorvex*, int32_t, int32_t) {};
        CX.OnGotTxRxAction = [](TCorvex*, TCX_ActionType, TCX_ActionSource, const std::string&) {};
        CX.OnGotTxRxMagneticCard = [](TCorvex*, bool, const std::string&, const std::string&,
                                      const std::string&) {};
        CX.OnGotNetworkName = [](TCorvex*, const std::string&) {};
        CX.OnGotNetworkInfo = [](TCorvex*, const std::string&, int32_t, int32_t) {};
        CX.OnGotGPSType = [](TCorvex*, uint8_t) {};
        CX.OnGotCurrent = [](TCorvex*, int32_t) {};
        CX.OnResetSettings = [](TCorvex*) {};
        CX.OnCalibrateVoltage = [](TCorvex*) {};
        CX.OnSettingsSaved = [](TCorvex*) {};
        CX.OnPassThrough = [](TCorvex*, bool) {};
        CX.OnEEPROMTest = [](TCorvex*, int32_t, TCX_EEPROMTest, TCX_EEPROMType, uint8_t, uint8_t) {};
        CX.OnGotADXLData = [](TCorvex*, double, double, double, double, double, double) {};
        CX.OnGSMRequests = [](TCorvex*, const TCX_GSMRequests&) {};
        CX.OnGotTime = [](TCorvex*, const TCX_Time&) {};
        CX.OnManualSMS = [](TCorvex*, bool) {};
        CX.OnNewDef = [](TCorvex*, bool) {};
        CX.OnGotShockData = [](TCorvex*, int32_t) {};
        CX.OnGotBatteryInfo = [](TCorvex*, const TCX_BatteryInfo&) {};
        CX.OnFastSpeed = [](TCorvex*) {};
        CX.OnEEPromDataRead = [](TCorvex*, int32_t, const std::string&) {};
        CX.OnUnitUnlock = [](TCorvex*) {};
        CX.OnGotActiveSIM = [](TCorvex*, uint8_t) {};
        CX.OnGPSResetCommand = [](TCorvex*, bool) {};
        CX.Open();
        if (Preselect)
            CX.SelectSoftware(*Firmware, Wide ? "wide" : "narrow");

        // The line: the rest of the input, in chunks whose sizes come from its tail.
        while (P.remaining_bytes() > 0) {
            const std::size_t N = P.ConsumeIntegralInRange<std::size_t>(1, 300);
            const std::string Chunk = P.ConsumeBytesAsString(N);
            FedBytes += Chunk.size();
            CX.ExternalComRx(Chunk);
        }
    }
    // Every received byte is shown at most once.
    if (ShownBytes > FedBytes)
        __builtin_trap();

    // Round trip: a frame the unit could send, through a fresh receiver.
    FuzzedDataProvider Q(Data, Size);
    const uint8_t Cmd = Q.ConsumeIntegral<uint8_t>();
    const std::string Payload = Q.ConsumeBytesAsString(Q.ConsumeIntegralInRange<std::size_t>(0, 255));
    TCorvex Fresh;
    Fresh.SetExternalCom(true);
    Fresh.SetConfigType(Mode);
    std::vector<std::pair<uint8_t, std::string>> Got;
    Fresh.DebugCommands = [&](TCorvex*, bool Outgoing, uint8_t Id, const std::string& Hex) {
        if (!Outgoing)
            Got.emplace_back(Id, Hex);
    };
    FeedInChunks(Fresh, UnitFrame(Mode, Cmd, Payload), Q);
    if (Got.size() != 1 || Got[0].first != Cmd || Got[0].second != BytesToHex(Payload, true))
        __builtin_trap();
    return 0;
}
