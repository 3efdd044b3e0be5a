#include "app/cli/CliLists.h"

#include "app/cli/JsonOut.h"
#include "serial/PortControls.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::string LinkTarget(const std::string& Path)
{
    struct stat St {
    };
    if (lstat(Path.c_str(), &St) != 0 || !S_ISLNK(St.st_mode))
        return {};
    char Buf[PATH_MAX];
    const ssize_t N = readlink(Path.c_str(), Buf, sizeof Buf - 1);
    return N > 0 ? std::string(Buf, static_cast<std::size_t>(N)) : std::string();
}

std::string StateName(uint32_t State)
{
    switch (State) {
    case psFree:
        return "free";
    case psInUse:
        return "in use";
    default:
        return "missing";
    }
}

std::string VersionNumber(uint16_t Version)
{
    return std::to_string(Version);
}

std::string Hex4(int32_t Value)
{
    char Buf[16];
    std::snprintf(Buf, sizeof Buf, "%04X", static_cast<unsigned>(Value) & 0xFFFFFFFFu);
    return Buf;
}

} // namespace

std::vector<TPortRow> ProbePorts(const TComPortMap& Map)
{
    std::vector<TPortRow> Rows;
    for (const auto& [Number, P] : ScanPorts(Map)) {
        TPortRow R;
        R.Number = Number;
        R.Path = P.Path;
        R.Target = LinkTarget(P.Path);
        R.State = StateName(ProbePortState(P.Value));
        R.NoPermission = P.Detail.NoPermission;
        R.Adapter = P.Adapter;
        Rows.push_back(R);
    }
    return Rows;
}

TPortRow DescribePort(int Number, const std::string& Path)
{
    TPortRow R;
    R.Number = Number;
    R.Path = Path;
    R.Target = LinkTarget(Path);
    R.Adapter = DescribePortAdapter(Path);
    return R;
}

std::vector<std::string> PortListText(const std::vector<TPortRow>& Rows)
{
    std::vector<std::string> Lines;
    if (Rows.empty()) {
        Lines.push_back(
            "No ports: the port map is empty (no /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, or an empty "
            "VELTRAC_COM_DIR folder).");
        return Lines;
    }
    for (const TPortRow& R : Rows) {
        std::string State = R.State;
        if (R.NoPermission)
            State += " (no permission: join the group dialout)";
        for (const std::string& Line : PortLines(R, State))
            Lines.push_back(Line);
    }
    return Lines;
}

std::vector<std::string> PortLines(const TPortRow& R, const std::string& State)
{
    std::string Number = R.Number > 0 ? "COM " + std::to_string(R.Number) : "-";
    Number += std::string(Number.size() < 9 ? 9 - Number.size() : 1, ' ');
    std::string Path = R.Path + (R.Target.empty() ? "" : " -> " + R.Target);
    Path += std::string(Path.size() < 32 ? 32 - Path.size() : 1, ' ');
    std::string Line = Number + Path + State;
    if (const std::string What = AdapterSummary(R.Adapter); !What.empty())
        Line += "  " + What;
    std::vector<std::string> Lines{Line};
    // The stable name, for a VELTRAC_COM_DIR link or --port.
    if (!R.Adapter.ById.empty())
        Lines.push_back(std::string(9, ' ') + R.Adapter.ById);
    return Lines;
}

std::string AdapterJson(const TPortAdapter& A)
{
    if (!A.Known())
        return "null";
    TJsonObject O;
    O.AddText("description", AdapterSummary(A));
    O.AddText("tty", A.Tty);
    O.AddText("subsystem", A.Subsystem);
    O.AddText("driver", A.Driver);
    O.AddText("vendor_id", A.VendorId);
    O.AddText("product_id", A.ProductId);
    O.AddText("manufacturer", A.Manufacturer);
    O.AddText("product", A.Product);
    O.AddText("serial", A.Serial);
    O.AddText("interface", A.Interface);
    O.AddText("usb_port", A.UsbPort);
    return O.AddText("by_id", A.ById).Str();
}

TJsonObject PortJson(const std::string& Event, const TPortRow& R)
{
    TJsonObject O;
    O.Add("event", Event);
    if (R.Number > 0)
        O.Add("number", R.Number);
    else
        O.AddNull("number");
    O.Add("path", R.Path);
    return O.AddText("target", R.Target);
}

std::vector<std::string> PortListJson(const std::vector<TPortRow>& Rows)
{
    std::vector<std::string> Lines;
    for (const TPortRow& R : Rows) {
        TJsonObject O = PortJson("port", R);
        O.Add("state", R.State)
            .Add("no_permission", R.NoPermission)
            .AddRaw("adapter", AdapterJson(R.Adapter));
        Lines.push_back(O.Str());
    }
    return Lines;
}

std::string RevisionList(const std::bitset<256>& Revisions)
{
    if (Revisions.none())
        return "any";
    std::string Out;
    for (std::size_t i = 0; i < Revisions.size(); ++i)
        if (Revisions.test(i)) {
            if (!Out.empty())
                Out += ',';
            Out += std::to_string(i);
        }
    return Out;
}

namespace
{

std::string RevisionsJson(const std::bitset<256>& Revisions)
{
    std::vector<std::string> Values;
    for (std::size_t i = 0; i < Revisions.size(); ++i)
        if (Revisions.test(i))
            Values.push_back(std::to_string(i));
    return JsonArray(Values);
}

std::vector<const TSoftwareVersion*> UnitVersions(const TFirmwareStore& S)
{
    std::vector<const TSoftwareVersion*> Out;
    for (const TSoftwareVersion* V = S.Package()->UnitFirmware().First(); V; V = V->Next)
        Out.push_back(V);
    return Out;
}

// The controller firmware a module is given, as its procedure selects it.
TSoftwareUpdate ModuleUpdate(const TFirmwareStore& S)
{
    TSoftwareUpdate M;
    M.Select(S.ModuleFirmware(), "*");
    return M;
}

} // namespace

std::vector<std::string> FirmwareListText(const TFirmwareStore& S)
{
    std::vector<std::string> L;
    L.push_back("Firmware package: " + (S.Label().empty() ? std::string("(none loaded)") : S.Label()));
    L.push_back("");
    const std::vector<std::string>& Images = S.Package()->ReceiverImages();
    L.push_back("Receiver images (" + std::to_string(Images.size()) + "):");
    for (const std::string& Name : Images)
        L.push_back("  " + Name);
    L.push_back("");
    const auto Versions = UnitVersions(S);
    L.push_back("Unit firmware (" + std::to_string(Versions.size()) + "):");
    for (const TSoftwareVersion* V : Versions) {
        const TSoftwareVersionInfo& I = V->Info;
        std::string Line = "  " + I.Title + ": class " + std::to_string(I.Class) + ", hardware " +
                           std::to_string(I.Hardware) + ", revisions " + RevisionList(I.HardwareRev) +
                           ", version " + VersionNumber(I.Version);
        if (I.HardwareID != 0)
            Line += ", hardware id " + Hex4(I.HardwareID);
        L.push_back(Line);
    }
    L.push_back("");
    const TSoftwareUpdate M = ModuleUpdate(S);
    if (M.Title.empty() && !M.IsReady()) {
        L.push_back("Module controller firmware: none");
    } else {
        std::string Line = "Module controller firmware: " + M.Title + ": class " + std::to_string(M.Class) +
                           ", hardware " + std::to_string(M.Hardware) + ", revisions " +
                           RevisionList(M.HardwareRev) + ", version " + VersionNumber(M.Version);
        if (M.HardwareID != 0)
            Line += ", hardware id " + Hex4(M.HardwareID);
        L.push_back(Line);
    }
    return L;
}

namespace
{

// A firmware version's identity (a unit version's info, or the module's
// selected version); the module's has no type.
template <typename V> std::string VersionJson(const V& I, bool WithType)
{
    TJsonObject O;
    O.Add("title", I.Title);
    if (WithType)
        O.Add("type", static_cast<int>(I.Type));
    O.Add("class", static_cast<int>(I.Class))
        .Add("hardware", I.Hardware)
        .AddRaw("revisions", RevisionsJson(I.HardwareRev))
        .Add("version", static_cast<int>(I.Version))
        .Add("hardware_id", I.HardwareID);
    return O.Str();
}

} // namespace

std::string FirmwareListJson(const TFirmwareStore& S)
{
    std::vector<std::string> Units;
    for (const TSoftwareVersion* V : UnitVersions(S))
        Units.push_back(VersionJson(V->Info, true));
    const TSoftwareUpdate M = ModuleUpdate(S);
    TJsonObject O;
    O.Add("event", "firmware")
        .Add("label", S.Label())
        .AddRaw("receiver_images", JsonStringArray(S.Package()->ReceiverImages()));
    O.AddRaw("unit_firmware", JsonArray(Units));
    if (M.Title.empty() && !M.IsReady())
        O.AddNull("module_firmware");
    else
        O.AddRaw("module_firmware", VersionJson(M, false));
    return O.Str();
}
