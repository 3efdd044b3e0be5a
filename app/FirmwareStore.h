#pragma once
// The firmware the program carries, opened once and handed to every update
// session it makes: the receiver package ("gps_fw": receiver images and the
// units' own firmware) and the External GPS controller firmware ("egps_fw").
// Owned by the program (the window, a command), never shared through a static.
#include "firmware/FirmwarePackage.h"
#include "firmware/SoftUpdate.h"

#include <memory>
#include <string>

class TFirmwareStore
{
  public:
    // The embedded resources.
    TFirmwareStore();
    // Other packages than the embedded ones (tools, tests).
    TFirmwareStore(const std::string& GpsFw, const std::string& EgpsFw);
    TFirmwareStore(const TFirmwareStore&) = delete;
    TFirmwareStore& operator=(const TFirmwareStore&) = delete;

    const std::shared_ptr<const TFirmwarePackage>& Package() const { return FPackage; }
    // The controller firmware versions of the External GPS module.
    const TSoftwareVersionCollection& ModuleFirmware() const { return FModuleFirmware; }
    const std::string& Label() const { return FPackage->Label(); }
    // The SHA-256 of the deciphered archive, hex; taken once, when first asked.
    const std::string& PackageSha256() const;

  private:
    std::shared_ptr<const TFirmwarePackage> FPackage;
    TSoftwareVersionCollection FModuleFirmware;
    mutable std::string FSha256;
};
