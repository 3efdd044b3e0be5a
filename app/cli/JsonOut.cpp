#include "app/cli/JsonOut.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::string JsonString(const std::string& Bytes)
{
    std::string Out = "\"";
    for (const char Ch : Bytes) {
        const auto C = static_cast<unsigned char>(Ch);
        switch (C) {
        case '"':
            Out += "\\\"";
            break;
        case '\\':
            Out += "\\\\";
            break;
        case '\n':
            Out += "\\n";
            break;
        case '\r':
            Out += "\\r";
            break;
        case '\t':
            Out += "\\t";
            break;
        default:
            if (C < 0x20 || C >= 0x7F) {
                char Buf[8];
                std::snprintf(Buf, sizeof Buf, "\\u%04X", C);
                Out += Buf;
            } else {
                Out += Ch;
            }
        }
    }
    return Out + "\"";
}

void TJsonObject::Key(const std::string& K)
{
    if (!FBody.empty())
        FBody += ",";
    FBody += JsonString(K) + ":";
}

TJsonObject& TJsonObject::Add(const std::string& K, const std::string& Value)
{
    Key(K);
    FBody += JsonString(Value);
    return *this;
}

TJsonObject& TJsonObject::Add(const std::string& K, int64_t Value)
{
    Key(K);
    FBody += std::to_string(Value);
    return *this;
}

TJsonObject& TJsonObject::Add(const std::string& K, double Value)
{
    return Add(K, Value, -1);
}

TJsonObject& TJsonObject::Add(const std::string& K, double Value, int Decimals)
{
    Key(K);
    if (!std::isfinite(Value)) {
        FBody += "null";
        return *this;
    }
    // Not locale-dependent: JSON wants a point whatever the user's separator.
    char Buf[400];
    if (Decimals < 0)
        std::snprintf(Buf, sizeof Buf, "%.17g", Value);
    else
        std::snprintf(Buf, sizeof Buf, "%.*f", std::min(Decimals, 9), Value);
    for (char* P = Buf; *P; ++P)
        if (*P == ',')
            *P = '.';
    FBody += Buf;
    return *this;
}

TJsonObject& TJsonObject::Add(const std::string& K, bool Value)
{
    Key(K);
    FBody += Value ? "true" : "false";
    return *this;
}

TJsonObject& TJsonObject::AddText(const std::string& K, const std::string& Value)
{
    return Value.empty() ? AddNull(K) : Add(K, Value);
}

TJsonObject& TJsonObject::AddNull(const std::string& K)
{
    Key(K);
    FBody += "null";
    return *this;
}

TJsonObject& TJsonObject::AddRaw(const std::string& K, const std::string& Json)
{
    Key(K);
    FBody += Json;
    return *this;
}

std::string JsonArray(const std::vector<std::string>& JsonValues)
{
    std::string Out = "[";
    for (std::size_t i = 0; i < JsonValues.size(); ++i)
        Out += (i ? "," : "") + JsonValues[i];
    return Out + "]";
}

std::string JsonStringArray(const std::vector<std::string>& Texts)
{
    std::vector<std::string> Values;
    Values.reserve(Texts.size());
    for (const std::string& T : Texts)
        Values.push_back(JsonString(T));
    return JsonArray(Values);
}

namespace
{

std::string BarJson(const TProgressBarState& B)
{
    return TJsonObject().Add("position", B.Position).Add("maximum", B.Maximum).Str();
}

} // namespace

std::string DisplayJson(const TUpdateDisplay& D)
{
    return TJsonObject()
        .Add("event", "display")
        .Add("device", D.DeviceType == dtExternalGPS ? "egps" : "veltrac")
        .Add("state", static_cast<int>(D.UpdateState))
        // Named as the result line names the same facts, not after the window's fields.
        .Add("device_id", D.vUnitID)
        .Add("firmware", D.vVersion)
        .Add("model", D.vClass)
        .Add("hardware", D.vVersionInfo)
        .Add("hardware_revision", D.vHWVer)
        .Add("current", D.vGPSCurrent)
        .Add("required", D.vGPSNeeded)
        .Add("progress", D.vProgress)
        .AddRaw("send", BarJson(D.pSendProgress))
        .AddRaw("update", BarJson(D.pUpdateProgress))
        .Add("confirming", D.Confirming)
        .Add("status", D.Status)
        .Str();
}

std::string JsonWithPort(const std::string& Event, int ComNumber, const std::string& DevicePath)
{
    if (Event.find("\"com\":") != std::string::npos)
        return Event;
    TJsonObject Port;
    if (ComNumber > 0)
        Port.Add("com", ComNumber);
    else
        Port.AddNull("com");
    Port.Add("device_path", DevicePath);
    const std::string Fields = Port.Str().substr(1, Port.Str().size() - 2);
    std::string Line = Event;
    const std::size_t AfterEvent = Line.find(',');
    if (AfterEvent == std::string::npos)
        Line.insert(Line.size() - 1, (Line.size() > 2 ? "," : "") + Fields);
    else
        Line.insert(AfterEvent + 1, Fields + ",");
    return Line;
}

std::string StateJson(TUpdateState From, TUpdateState To, bool ExternalGPS)
{
    return TJsonObject()
        .Add("event", "state")
        .Add("state", static_cast<int>(To))
        .Add("previous", static_cast<int>(From))
        .Add("text", StatePhrase(To, ExternalGPS))
        .Str();
}

namespace
{

TJsonObject& AddSeconds(TJsonObject& O, const std::string& Key, const std::optional<double>& Seconds)
{
    return Seconds ? O.Add(Key, *Seconds, 3) : O.AddNull(Key);
}

} // namespace

std::string ResultAdapterJson(const TPortAdapter& A)
{
    TJsonObject O;
    O.AddText("by_id", A.ById);
    O.AddText("usb_serial", A.Serial);
    O.AddText("vendor_id", A.VendorId);
    return O.AddText("product_id", A.ProductId).Str();
}

std::string PhasesJson(const TRunPhases& P)
{
    TJsonObject O;
    AddSeconds(O, "own_firmware", P.OwnFirmware);
    AddSeconds(O, "receiver_transfer", P.ReceiverTransfer);
    AddSeconds(O, "programming", P.Programming);
    AddSeconds(O, "confirmation", P.Confirmation);
    return O.AddText("unfinished", PhaseName(P.Unfinished)).Str();
}

std::string RepeatsJson(const TRunRepeats& R)
{
    return TJsonObject()
        .Add("records", R.Records)
        .Add("blocks", R.Blocks)
        .Add("wake_ups", R.WakeUps)
        .Add("restarts", R.Restarts)
        .Str();
}
