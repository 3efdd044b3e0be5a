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
    // A device already identified that is identified again has been restarted.
    Identifying = !ID.empty();
}

void TRunRecord::Identified(const std::string& ID, const std::string& Firmware)
{
    if (OwnFirmwareFrom >= 0 && OwnFirmwareTo < 0)
        OwnFirmwareTo = Now();
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

void TRunRecord::Identified(const TUpdateDisplay& Shown)
{
    Identified(Shown.vUnitID, Shown.vVersion);
    Model = Shown.vClass;
    Hardware = Shown.vVersionInfo;
    HardwareRevision = Shown.vHWVer;
}

TConfirmationStart TRunRecord::ConfirmationStart(bool Certain, const TUpdateDisplay& Shown) const
{
    TConfirmationStart C;
    C.Certain = Certain;
    C.Source = Transfer == TImageSource::None ? TImageSource::Automatic : Transfer;
    C.DeviceID = Shown.vUnitID;
    C.Before = ReceiverBefore;
    C.Shown = Shown.vGPSNeeded;
    // A chosen file's name need not be the version text inside it; the
    // archive's images (the automatic choice, a recovery) are named by theirs.
    if (C.Source != TImageSource::Custom)
        C.Expected = Shown.vGPSNeeded;
    return C;
}

void TRunRecord::Confirming(const TConfirmationStart& C, uint64_t SentNow, uint32_t Rate)
{
    Transferred = C.Certain;
    Required = C.Expected;
    TransferDone(SentNow, Rate);
}

void TRunRecord::IdentifyStarting()
{
    if (!Active)
        return;
    if (Identifying)
        ++Repeats.Restarts;
    Identifying = true;
}

void TRunRecord::FirmwareStarting(const std::string& Title)
{
    if (!Title.empty())
        FirmwareTitle = Title;
    if (OwnFirmwareFrom < 0) {
        OwnFirmwareFrom = Now();
        LastFirmwareBlock.reset();
    }
}

// A device that asks for the block it was just served did not take it.
void TRunRecord::FirmwareBlockServed(int32_t Block)
{
    if (Active && LastFirmwareBlock == Block)
        ++Repeats.Blocks;
    LastFirmwareBlock = Block;
}

void TRunRecord::UnitFirmwarePulled()
{
    if (!Active)
        return;
    UnitFirmwareSent = true;
    IdentifyStarting();
}

void TRunRecord::Repeated(TRepeat What)
{
    if (!Active)
        return;
    switch (What) {
    case TRepeat::Record:
        ++Repeats.Records;
        break;
    case TRepeat::Block:
        ++Repeats.Blocks;
        break;
    case TRepeat::WakeUp:
        ++Repeats.WakeUps;
        break;
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
    // Programming and confirmation are those of the last transfer.
    WatchFrom = LastSignAt = ProgrammedAt = -1;
    ProgrammedBefore = Decided = DecidedByVersion = false;
}

bool TRunRecord::CloseTransfer(uint64_t SentNow, uint32_t Rate)
{
    if (!TransferClock.isValid() || TransferEnded)
        return false;
    TransferEnded = true;
    TransferSeconds = static_cast<double>(TransferClock.elapsed()) / 1000.0;
    TransferLineBytes = SentNow - TransferSentAtStart;
    LineRate = Rate;
    return true;
}

void TRunRecord::TransferDone(uint64_t SentNow, uint32_t Rate)
{
    if (CloseTransfer(SentNow, Rate))
        WatchFrom = Now();
}

void TRunRecord::Resumed(const TConfirmationStart& What, bool ProgrammingEnded)
{
    if (What.Found) {
        // A programming found under way: this run sent nothing.
        ProgrammingFollowed = true;
    } else {
        Transfer = What.Source;
        Transferred = What.Certain;
        ReceiverBefore = What.Before;
        Required = What.Expected;
        TransferEnded = true;
    }
    WatchFrom = Now();
    LastSignAt = -1;
    ProgrammedAt = ProgrammingEnded ? WatchFrom : -1;
    ProgrammedBefore = ProgrammingEnded;
    Decided = DecidedByVersion = false;
}

void TRunRecord::ProgrammingSign()
{
    if (WatchFrom >= 0 && ProgrammedAt < 0)
        LastSignAt = Now();
}

void TRunRecord::ProgrammingEnded(bool AtLastSign)
{
    if (WatchFrom < 0 || ProgrammedAt >= 0)
        return;
    ProgrammedAt = AtLastSign && LastSignAt >= 0 ? LastSignAt : Now();
}

void TRunRecord::ConfirmationDecided(bool ByVersion)
{
    if (WatchFrom < 0 || Decided)
        return;
    Decided = true;
    DecidedByVersion = ByVersion;
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
        P.ImageDone =
            P.ImageBytes * static_cast<uint64_t>(Counted->Position) / static_cast<uint64_t>(Counted->Maximum);
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
            return "the module's controller was given its firmware from its loader and reports " +
                   FirmwareAfter;
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
    O.ProgrammingFollowed = ProgrammingFollowed;
    const int64_t Ending = Now();
    // A transfer still running is measured to here.
    const bool TransferCut = CloseTransfer(At.SentNow, At.LineRate);
    O.TransferSeconds = TransferSeconds;
    O.TransferLineBytes = TransferLineBytes;
    O.LineRate = LineRate;
    O.BytesSent = At.SentNow - SentAtStart;
    O.Seconds = static_cast<double>(Ending) / 1000.0;
    O.ComNumber = At.ComNumber;
    O.DevicePath = At.DevicePath;
    O.Adapter = Adapter;
    O.Phases = Phases(Ending, TransferCut);
    O.Repeats = Repeats;
    O.StartedAt = StartedAt.toString(Qt::ISODateWithMs).toStdString();
    O.EndedAt = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
    return O;
}

TRunPhases TRunRecord::Phases(int64_t Ending, bool TransferCut) const
{
    const auto Seconds = [](int64_t From, int64_t To) { return static_cast<double>(To - From) / 1000.0; };
    TRunPhases P;
    if (OwnFirmwareFrom >= 0) {
        P.OwnFirmware = Seconds(OwnFirmwareFrom, OwnFirmwareTo >= 0 ? OwnFirmwareTo : Ending);
        if (OwnFirmwareTo < 0)
            P.Unfinished = TRunPhase::OwnFirmware;
    }
    if (TransferClock.isValid() && TransferLineBytes > 0) {
        P.ReceiverTransfer = TransferSeconds;
        if (TransferCut)
            P.Unfinished = TRunPhase::ReceiverTransfer;
    }
    if (WatchFrom < 0)
        return P;
    int64_t ConfirmFrom = -1;
    if (ProgrammedAt >= 0) {
        if (!ProgrammedBefore)
            P.Programming = Seconds(WatchFrom, ProgrammedAt);
        ConfirmFrom = ProgrammedAt;
    } else if (DecidedByVersion) {
        ConfirmFrom = WatchFrom;
    } else {
        P.Programming = Seconds(WatchFrom, Ending);
        P.Unfinished = TRunPhase::Programming;
    }
    if (ConfirmFrom >= 0) {
        P.Confirmation = Seconds(ConfirmFrom, Ending);
        if (!Decided)
            P.Unfinished = TRunPhase::Confirmation;
    }
    return P;
}
