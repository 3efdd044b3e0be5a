#include "firmware/FirmwarePackage.h"

#include "firmware/ArchiveReader.h"
#include "firmware/MyCrypt.h"
#include "firmware/ReceiverImages.h"

#include <exception>

TFirmwarePackage::TFirmwarePackage(const std::string& Resource, const std::string& Key)
    : TFirmwarePackage(Resource, Key, NewArchiveReader())
{
}

TFirmwarePackage::TFirmwarePackage(const std::string& Resource, const std::string& Key,
                                   std::unique_ptr<IArchiveReader> Reader)
    : FReader(std::move(Reader))
{
    TFirmwareImage Plain = SplitFirmwareImage(Resource, Key);
    FLabel = std::move(Plain.Label);
    FArchive = std::move(Plain.Archive);
    FStream = std::make_unique<TArchiveStream>(FArchive);
    if (FArchive.empty() && FLabel.empty())
        // A wrong key or a damaged image deciphers to nothing at all.
        FProblems.push_back("the firmware package (" + std::to_string(Resource.size()) +
                            " bytes) is empty or does not decipher with the tool's key");
    else
        Open();
}

TFirmwarePackage::~TFirmwarePackage()
{
    if (FReader)
        FReader->CloseArchive();
}

void TFirmwarePackage::Open()
{
    if (!FReader) {
        FProblems.push_back("no archive reader");
        return;
    }
    try {
        FReader->OpenArchiveStream(*FStream);
        FOpen = true;
    } catch (const std::exception& E) {
        FProblems.push_back(std::string("cannot open the archive: ") + E.what());
        return;
    }
    try {
        const uint32_t Count = FReader->ItemCount();
        for (uint32_t I = 0; I < Count; ++I) {
            FItems.push_back(FReader->ItemPathOf(I));
            if (!FReader->ItemIsDirectory(I) && IsReceiverImageName(FItems.back()))
                FReceiverImages.push_back(FItems.back());
        }
    } catch (const std::exception& E) {
        // A damaged archive leaves the list with what was gathered.
        FProblems.push_back(std::string("cannot list the archive: ") + E.what());
    }
    FUnitFirmware.LoadFromOpenArchive(*FReader, &FProblems);
}

TPackageImage TFirmwarePackage::Image(const std::string& Name) const
{
    TPackageImage Result;
    if (!FOpen) {
        Result.Error = "cannot take " + Name + " from the firmware package: its archive is not open";
        return Result;
    }
    // With several items of that name the last one wins.
    std::size_t Found = FItems.size();
    for (std::size_t I = 0; I < FItems.size(); ++I)
        if (FItems[I] == Name)
            Found = I;
    if (Found == FItems.size()) {
        Result.Error = "the firmware package holds no item " + Name;
        return Result;
    }
    try {
        std::string Bytes;
        FReader->ExtractItemToStream(static_cast<uint32_t>(Found), Bytes, false);
        Result.Bytes = std::move(Bytes);
    } catch (const std::exception& E) {
        Result.Error = "cannot extract " + Name + " from the firmware package: " + E.what();
    }
    return Result;
}
