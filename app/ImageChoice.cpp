#include "app/ImageChoice.h"

#include "firmware/MyCrypt.h"
#include "firmware/SoftUpdate.h"

#include <QFile>

void TImageChoice::Note(const std::string& Text) const
{
    if (OnNote)
        OnNote(Text);
}

void TImageChoice::UsePackage(std::shared_ptr<const TFirmwarePackage> Package)
{
    Clear();
    FPackage = std::move(Package);
    if (!FPackage)
        return;
    // What could not be read is left out of the lists; the note says why.
    for (const std::string& Problem : FPackage->Problems())
        Note("firmware package: " + Problem);
}

void TImageChoice::Clear()
{
    FPackage.reset();
    Drop();
}

const std::string& TImageChoice::Archive() const
{
    static const std::string None;
    return FPackage ? FPackage->Archive() : None;
}

const std::string& TImageChoice::Label() const
{
    static const std::string None;
    return FPackage ? FPackage->Label() : None;
}

const std::vector<std::string>& TImageChoice::ReceiverImages() const
{
    static const std::vector<std::string> None;
    return FPackage ? FPackage->ReceiverImages() : None;
}

const TSoftwareVersionCollection& TImageChoice::UnitFirmware() const
{
    static const TSoftwareVersionCollection None;
    return FPackage ? FPackage->UnitFirmware() : None;
}

// The name names an image only while it is held, so a failed load can never
// be mistaken for the image being there.
void TImageChoice::Drop()
{
    FImage.reset();
    FName.clear();
}

bool TImageChoice::LoadArchiveImage(const std::string& Name)
{
    if (FImage && Name == FName)
        return true;
    Drop();
    if (!FPackage) {
        Note(Name + ": no firmware package is loaded");
        return false;
    }
    TPackageImage Taken = FPackage->Image(Name);
    if (!Taken.Bytes) {
        Note(Taken.Error);
        return false;
    }
    FImage = std::move(Taken.Bytes);
    FName = Name;
    return true;
}

ReceiverDecision::TDecision TImageChoice::Take(ReceiverDecision::TDecision Decision)
{
    using TWhat = ReceiverDecision::TWhat;
    if ((Decision.What == TWhat::UpToDate || Decision.What == TWhat::Send) &&
        !LoadArchiveImage(Decision.Image))
        return ReceiverDecision::NoImageFor(Decision.Version);
    return Decision;
}

bool TImageChoice::LoadFile(const std::string& FileName)
{
    if (FImage && FileName == FName)
        return true;
    Drop();
    QFile File(QString::fromLocal8Bit(FileName.c_str()));
    if (!File.open(QIODevice::ReadOnly))
        return false;
    const QByteArray Bytes = File.readAll();
    if (File.error() != QFileDevice::NoError)
        return false;
    FImage = std::string(Bytes.constData(), static_cast<std::size_t>(Bytes.size()));
    FName = FileName;
    return true;
}

std::string TImageChoice::PackageSha256(const TFirmwareStore& Store) const
{
    return FPackage == Store.Package() ? Store.PackageSha256() : Sha256Hex(Archive());
}
