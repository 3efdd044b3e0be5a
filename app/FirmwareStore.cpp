#include "app/FirmwareStore.h"

#include "firmware/Keys.h"
#include "firmware/MyCrypt.h"
#include "firmware/Resources.h"

namespace
{
std::string ResourceBytes(std::string_view Name)
{
    const auto Bytes = FindResource(Name);
    return Bytes ? std::string(*Bytes) : std::string();
}
} // namespace

TFirmwareStore::TFirmwareStore() : TFirmwareStore(ResourceBytes("gps_fw"), ResourceBytes("egps_fw")) {}

TFirmwareStore::TFirmwareStore(const std::string& GpsFw, const std::string& EgpsFw)
    : FPackage(std::make_shared<const TFirmwarePackage>(GpsFw, ImageKey()))
{
    FModuleFirmware.LoadFromEfw(EgpsFw);
}

const std::string& TFirmwareStore::PackageSha256() const
{
    // The whole archive is hashed: only for a result that names it.
    if (FSha256.empty())
        FSha256 = Sha256Hex(FPackage->Archive());
    return FSha256;
}
