#include "app/ReceiverDecision.h"

#include "firmware/ReceiverImages.h"

namespace ReceiverDecision
{

namespace
{
std::string Quoted(const std::string& Text)
{
    return "\"" + Text + "\"";
}

TDecision Ends(TWhat What, TOutcomeKind Kind, std::string Message)
{
    TDecision D;
    D.What = What;
    D.Kind = Kind;
    D.Message = std::move(Message);
    return D;
}
} // namespace

std::string RequiredImage(const std::vector<std::string>& Images, const std::string& Version)
{
    const std::string W = ApplyModuleTypeAliases(Version);
    if (W.starts_with("AXN"))
        return FindAXNImage(Images, W);
    if (W.starts_with("EVA"))
        return FindEVAImage(Images, W);
    return {};
}

TDecision NoImageFor(const std::string& Version)
{
    TDecision D = Ends(TWhat::NotSupported, TOutcomeKind::NotSupported,
                       "the tool has no image for the receiver's version " + Quoted(Version));
    D.Version = Version;
    return D;
}

// What the ask means, before it is named by its version.
static TDecision Choose(const TAsk& Ask, const std::vector<std::string>& Images)
{
    if (!Ask.AutoUpdate) {
        if (Ask.Source == TImageSource::Recovery)
            return Ends(TWhat::Manual, TOutcomeKind::ManualFinished,
                        "automatic update is off, so no recovery is sent");
        if (Ask.CustomPlanned)
            return Ends(TWhat::SendCustom, TOutcomeKind::ManualFinished, {});
        if (Ask.TransferIncomplete)
            return Ends(TWhat::Fail, TOutcomeKind::Failed,
                        "the image did not reach the device completely; the receiver reports " +
                            Quoted(Ask.Version));
        return Ends(TWhat::Manual, TOutcomeKind::ManualFinished,
                    "automatic update is off; the receiver reports " + Quoted(Ask.Version));
    }
    const std::string Image = RequiredImage(Images, Ask.Version);
    if (Image.empty())
        return NoImageFor(Ask.Version);
    TDecision D;
    D.Image = Image;
    D.Required = Image.size() >= 4 ? Image.substr(0, Image.size() - 4) : std::string();
    if (Ask.Version == D.Required) {
        D.What = TWhat::UpToDate;
        D.Kind = TOutcomeKind::UpToDate;
        D.Message = "the receiver already runs " + Quoted(Ask.Version);
    } else {
        D.What = TWhat::Send;
    }
    return D;
}

TDecision Decide(const TAsk& Ask, const std::vector<std::string>& Images)
{
    TDecision D = Choose(Ask, Images);
    D.Version = Ask.Version;
    return D;
}

TDecision AfterFollowing(const TAsk& Ask, TImageSource Planned, const std::vector<std::string>& Images)
{
    TDecision D = Decide(Ask, Images);
    if (D.What == TWhat::UpToDate) {
        D.Kind = TOutcomeKind::Updated;
        D.Message = "the receiver was found programming and was followed to its end: it runs " +
                    Quoted(Ask.Version) + " now; this run wrote nothing";
    } else if (Planned != TImageSource::None) {
        D = Ends(TWhat::Fail, TOutcomeKind::Failed,
                 "the receiver was found programming and was followed to its end: it reports " +
                     Quoted(Ask.Version) + "; nothing was sent: run the update again to send the " +
                     (Planned == TImageSource::Custom ? "image" : "recovery"));
        D.Version = Ask.Version;
    }
    return D;
}

bool RecoveryPossible(bool ExternalGPS, const std::string& HardwareText)
{
    return ExternalGPS || HardwareText == "2e1";
}

std::string ImageProblem(bool ExternalGPS, const std::string& Image, const std::string& Name)
{
    // A module checks the header itself; too short a file is refused before anything goes out.
    if (ExternalGPS && CheckMediaTekImage(Image) == TMediaTekCheck::TooShort)
        return Name + " is shorter than the 448-byte header of a receiver image; nothing was sent";
    return {};
}

} // namespace ReceiverDecision
