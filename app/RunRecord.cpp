#include "app/RunRecord.h"

#include "app/UpdateDisplay.h"
#include "firmware/MyCrypt.h"

void TRunRecord::Begin(uint64_t SentNow, const std::string& ID, const std::string& Firmware)
{
    *this = TRunRecord();
    Active = true;
    Clock.start();
    StartedAt = QDateTime::currentDateTimeUtc();
    SentAtStart = SentNow;
    DeviceID = ID;
    FirmwareBefore = FirmwareAfter = Firmware;
}

void TRunRecord::Identified(const std::string& ID, const std::string& Firmware)
{
    DeviceID = ID;
    if (FirmwareBefore.empty() && !FirmwareBeforeUnknown)
        FirmwareBefore = Firmware;
    FirmwareAfter = Firmware;
    // The unit pulled its firmware to the end and is back on it.
    if (UnitFirmwareSent) {
        UnitFirmwareSent = false;
        FirmwareWritten = true;
    }
}

void TRunRecord::TransferStarting(TImageSource Source, const std::string& Receiver, uint64_t SentNow)
{
    Transfer = Source;
    Transferred = false;
    ReceiverBefore = Receiver;
    TransferClock.start();
    TransferSentAtStart = SentNow;
    TransferEnded = false;
}

void TRunRecord::TransferDone(uint64_t SentNow, uint32_t Rate)
{
    if (!TransferClock.isValid() || TransferEnded)
        return;
    TransferEnded = true;
    TransferSeconds = static_cast<double>(TransferClock.elapsed()) / 1000.0;
    TransferLineBytes = SentNow - TransferSentAtStart;
    LineRate = Rate;
}

TTransferProgress TRunRecord::Progress(const std::string* Image, const TProgressBarState* Counted,
                                       uint64_t SentNow, uint32_t Rate) const
{
    TTransferProgress P;
    if (!Active || Transfer == TImageSource::None || !TransferClock.isValid() || !Image)
        return P;
    if (TransferEnded) {
        P.Ended = true;
        P.Seconds = TransferSeconds;
        P.ImageBytes = Image->size();
        P.ImageDone = Transferred ? P.ImageBytes : 0;
        P.LineBytes = TransferLineBytes;
        P.LineRate = LineRate;
        return P;
    }
    P.Active = true;
    P.Seconds = static_cast<double>(TransferClock.elapsed()) / 1000.0;
    P.ImageBytes = Image->size();
    if (Counted && Counted->Maximum > 0)
        P.ImageDone = P.ImageBytes * static_cast<uint64_t>(Counted->Position) / static_cast<uint64_t>(Counted->Maximum);
    P.LineBytes = SentNow - TransferSentAtStart;
    P.LineRate = Rate;
    return P;
}

std::string TRunRecord::FirmwareNote(bool ExternalGPS) const
{
    if (!FirmwareWritten)
        return {};
    if (ExternalGPS) {
        if (FirmwareBeforeUnknown)
            return "the module's controller was given its firmware from its loader and reports " + FirmwareAfter;
        return "the module's controller went from " + FirmwareBefore + " to " + FirmwareAfter;
    }
    const std::string Title = FirmwareTitle.empty() ? "" : " (" + FirmwareTitle + ")";
    if (FirmwareBefore == FirmwareAfter)
        return "the unit was given its firmware" + Title + " and reports " + FirmwareAfter + " as before";
    return "the unit's firmware went from " + FirmwareBefore + " to " + FirmwareAfter + Title;
}

TUpdateOutcome TRunRecord::End(TOutcomeKind Kind, const std::string& Message, const TRunEnd& At)
{
    Active = false;
    TUpdateOutcome O;
    O.Kind = Kind;
    O.Message = Message;
    const std::string Written = FirmwareNote(At.ExternalGPS);
    if (!Written.empty()) {
        if (Kind == TOutcomeKind::UpToDate || Kind == TOutcomeKind::ManualFinished ||
            Kind == TOutcomeKind::NotSupported) {
            O.Kind = TOutcomeKind::Updated;
            O.Message = Written + "; " + Message;
        } else {
            O.Message = Message + "; " + Written;
        }
    }
    O.Device = At.ExternalGPS ? "egps" : "veltrac";
    O.DeviceID = DeviceID.empty() ? At.DeviceIDShown : DeviceID;
    O.Model = Model;
    O.Hardware = Hardware;
    O.HardwareRevision = HardwareRevision;
    O.FirmwareTitle = FirmwareTitle;
    O.FirmwareBefore = FirmwareBeforeUnknown ? "loader" : FirmwareBefore;
    O.FirmwareBeforeUnknown = FirmwareBeforeUnknown;
    O.FirmwareWritten = FirmwareWritten;
    O.FirmwareAfter = FirmwareAfter;
    O.ReceiverBefore = Transfer != TImageSource::None ? ReceiverBefore : At.ReceiverReported;
    O.ReceiverAfter = At.ReceiverReported;
    O.ReceiverRequired = Required.empty() ? At.RequiredShown : Required;
    if (O.ReceiverRequired == SessionText::NotSupported)
        O.ReceiverRequired.clear();
    if (Transfer != TImageSource::None && At.Image) {
        O.ImageName = At.ImageName;
        O.ImageSha256 = Sha256Hex(*At.Image);
        O.ImageBytes = At.Image->size();
    }
    O.Transferred = Transferred;
    TransferDone(At.SentNow, At.LineRate);
    O.TransferSeconds = TransferSeconds;
    O.TransferLineBytes = TransferLineBytes;
    O.LineRate = LineRate;
    O.BytesSent = At.SentNow - SentAtStart;
    O.Seconds = Clock.isValid() ? static_cast<double>(Clock.elapsed()) / 1000.0 : 0.0;
    O.ComNumber = At.ComNumber;
    O.DevicePath = At.DevicePath;
    O.Adapter = Adapter;
    O.StartedAt = StartedAt.toString(Qt::ISODateWithMs).toStdString();
    O.EndedAt = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
    return O;
}
