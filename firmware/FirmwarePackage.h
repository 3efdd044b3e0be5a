#pragma once
// The firmware package the tool carries ("gps_fw"): enciphered, a label, "|",
// and a 7z archive holding the receiver images (".bin") and the tracking
// units' firmware versions (".ini", ".efw", ".cfw").
//
// The archive is opened once, when the package is made, and stays open for the
// package's life: its listing, the unit firmware and every image taken later
// come from that one open archive.
#include "firmware/SoftUpdate.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class IArchiveReader;
class TArchiveStream;

// An image taken from the package, or why it could not be.
struct TPackageImage {
    std::optional<std::string> Bytes;
    std::string Error; // empty when Bytes holds the image
};

class TFirmwarePackage
{
  public:
    // Deciphers Resource with Key and opens the archive in it with Reader (by
    // default a reader over the embedded 7-Zip library). Raises nothing for
    // what the resource holds: a package that does not decipher or open, or an
    // archive that breaks off while it is listed, leaves the listing and the
    // unit firmware with what was gathered, and Problems() says why.
    TFirmwarePackage(const std::string& Resource, const std::string& Key);
    TFirmwarePackage(const std::string& Resource, const std::string& Key,
                     std::unique_ptr<IArchiveReader> Reader);
    ~TFirmwarePackage();
    TFirmwarePackage(const TFirmwarePackage&) = delete;
    TFirmwarePackage& operator=(const TFirmwarePackage&) = delete;

    // The text before the first "|" (empty when there is none).
    const std::string& Label() const { return FLabel; }
    // The deciphered archive bytes.
    const std::string& Archive() const { return FArchive; }
    // The ".bin" items (any letter case), folders left out, in archive order.
    const std::vector<std::string>& ReceiverImages() const { return FReceiverImages; }
    const TSoftwareVersionCollection& UnitFirmware() const { return FUnitFirmware; }
    // What went wrong while the package was opened and read, one line each.
    const std::vector<std::string>& Problems() const { return FProblems; }
    // Whether the archive is open (images can be taken).
    bool IsOpen() const { return FOpen; }

    // The item called Name (its full path in the archive); with several items
    // of that name the last one counts. Error says why there is none.
    TPackageImage Image(const std::string& Name) const;

  private:
    void Open();

    std::string FLabel;
    std::string FArchive;
    // The reader reads FArchive through FStream while images are taken, so
    // neither changes nor moves while it is open.
    std::unique_ptr<TArchiveStream> FStream;
    std::unique_ptr<IArchiveReader> FReader;
    bool FOpen = false;
    std::vector<std::string> FItems; // every item's path, folders too, in archive order
    std::vector<std::string> FReceiverImages;
    TSoftwareVersionCollection FUnitFirmware;
    std::vector<std::string> FProblems;
};
