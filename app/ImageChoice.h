#pragma once
// The receiver images the session can send: the firmware package (opened
// once by its owner and shared by every session that uses it) and the one
// image held for sending, taken from the package or read from a file the
// technician chose. An image is read again only when another one
// is asked for; its name names it only while it is held.
#include "app/FirmwareStore.h"
#include "app/ReceiverDecision.h"
#include "firmware/FirmwarePackage.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TImageChoice
{
  public:
    // What could not be read, for a maintainer's trace.
    std::function<void(const std::string& Note)> OnNote;

    // Uses a package already opened (it may be shared with other sessions).
    void UsePackage(std::shared_ptr<const TFirmwarePackage> Package);
    const std::shared_ptr<const TFirmwarePackage>& Package() const { return FPackage; }
    // The package's digest (hex); the store's own is taken once for all its sessions.
    std::string PackageSha256(const TFirmwareStore& Store) const;
    void Clear();
    bool PackageLoaded() const { return FPackage != nullptr; }
    const std::string& Archive() const;
    const std::string& Label() const;
    const std::vector<std::string>& ReceiverImages() const;
    const TSoftwareVersionCollection& UnitFirmware() const;

    bool LoadArchiveImage(const std::string& Name);
    // Holds the image a decision names (to send, or the one the receiver
    // already runs); one that cannot be read makes the decision "not supported".
    ReceiverDecision::TDecision Take(ReceiverDecision::TDecision Decision);
    // A file's whole contents; false when it cannot be read (nothing is held then).
    bool LoadFile(const std::string& FileName);
    void Drop();

    const std::optional<std::string>& Image() const { return FImage; }
    const std::string& Name() const { return FName; }

  private:
    void Note(const std::string& Text) const;

    std::shared_ptr<const TFirmwarePackage> FPackage;
    std::optional<std::string> FImage;
    std::string FName;
};
