#include "app/UnitTransfer.h"

#include "firmware/ReceiverImages.h"
#include "link/Corvex2.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

TUnitTransfer::TUnitTransfer(TCorvex& Link, TTransferHost& Host) : CX(Link), FHost(Host)
{
    tWriteRetry.setInterval(WriteRetryMs);
    tGPSVersionPoll.setInterval(GPSVersionPollMs);
    connect(&tWriteRetry, &QTimer::timeout, this, [this] { FHost.Step([this] { RetryTick(); }); });
    connect(&tGPSVersionPoll, &QTimer::timeout, this, [this] { FHost.Step([this] { PollTick(); }); });
}

bool TUnitTransfer::TakeUpdateParameter(const std::string& Value)
{
    if (Value.empty())
        return false;
    FEEPromAddress = HexToIntDef(GetToken(Value, 0, ','), 0);
    FGPSReady = HexToIntDef(GetToken(Value, 1, ','), 0);
    const std::string Kind = GetToken(Value, 2, ',');
    FPackImage = Kind == "C";
    FPlainHeader = Kind == "V";
    return true;
}

void TUnitTransfer::ForgetUpdateParameter()
{
    FEEPromAddress = 0;
    FGPSReady = 0;
    FPackImage = false;
    FPlainHeader = false;
}

void TUnitTransfer::Start(const std::string& Image)
{
    tWriteRetry.stop();
    const int Chunk = UnitChunkSize(CX.MaxLength(), CX.UnitInfo().HexType);
    std::string Data = Image;
    if (FPackImage)
        Data = GPSzContainer(Data, true);
    else if (FPlainHeader)
        Data = GPSzContainer(Data, false);
    FRecords = UnitRecords(Data, FEEPromAddress, Chunk);
    ForgetAnswers();
    FSpeedConfirmed = false;
    FProgramStartPending = false;
    FCursor = 0;
    FLastSent = -1;
    FRefusals = FRefusalRounds = 0;
    FFirstRefused = FPaused = false;
    FHost.SendBar(0, static_cast<int>(FRecords.size()));
    if (!FRecords.empty())
        tWriteRetry.start();
    SentToUnit(AnswerSpeed);
    CX.SetFastSpeed();
}

void TUnitTransfer::Stop()
{
    FRecords.clear();
    FCursor = 0;
    FLastSent = -1;
    tWriteRetry.stop();
    ForgetAnswers();
    FSpeedConfirmed = false;
    FProgramStartPending = false;
    FPaused = false;
    tGPSVersionPoll.stop();
}

// Acknowledgements from the unit carry no identity, and the link reads each
// one as the answer to the last command it sent. Copies of one send (the
// retries) are interchangeable: whichever is answered, the unit did it. So
// an answer counts only while every send still due is a copy of the current
// one; after an answer, the next send waits until the other copies are
// answered too, or are older than AnswerLifetimeMs and taken as lost.
void TUnitTransfer::ForgetAnswers()
{
    FCurrentKind = AnswerNone;
    FCurrentCopies = 0;
    FOldCopies = 0;
}

void TUnitTransfer::SentToUnit(int Kind)
{
    if (!FAnswerClock.isValid())
        FAnswerClock.start();
    if (Kind != FCurrentKind)
        FCurrentCopies = 0;
    FCurrentKind = Kind;
    ++FCurrentCopies;
    FLastSentAt = FAnswerClock.elapsed();
}

// The current send was answered: its other copies become answers still due.
void TUnitTransfer::CurrentAnswered()
{
    FOldCopies = FCurrentCopies;
    FOldSentAt = FLastSentAt;
    FCurrentCopies = 0;
    FCurrentKind = AnswerNone;
}

bool TUnitTransfer::WaitingForOldAnswers()
{
    if (FOldCopies > 0 && FAnswerClock.elapsed() - FOldSentAt > AnswerLifetimeMs)
        FOldCopies = 0;
    return FOldCopies > 0;
}

// The records wait for the speed switch to be answered: a write sent before
// would take that answer for its own, and the link would stay at the old speed.
void TUnitTransfer::FastSpeedAnswered()
{
    if (FSpeedConfirmed || FCurrentKind != AnswerSpeed)
        return;
    FSpeedConfirmed = true;
    // Copies of the switch went out at the old speed after the unit had
    // moved on, so no further answer can come for them. A late answer lets
    // the first record go at once: the unit falls back to the old speed when
    // nothing arrives at the new one for a while.
    const bool Repeated = FCurrentCopies > 1;
    ForgetAnswers();
    if (Repeated && !FRecords.empty())
        SendRecord(false);
}

void TUnitTransfer::Answered(bool Success)
{
    if (FOldCopies > 0) {
        // An earlier send's copy; once the last is in, what waited goes out.
        if (--FOldCopies == 0 && !FRecords.empty() && FSpeedConfirmed)
            SendRecord(false);
        return;
    }
    if (FCurrentCopies == 0)
        return; // nothing of ours is due
    --FCurrentCopies;
    if (FCurrentKind >= 0) {
        if (!FRecords.empty() && FCurrentKind == FCursor) {
            if (Success) {
                CurrentAnswered();
                FRefusals = FRefusalRounds = 0;
            } else if (Refused()) {
                return;
            }
            SendRecord(Success);
        }
    } else if (FCurrentKind == AnswerProgramStart) {
        if (!Success)
            return; // the retry timer asks again
        ProgrammingStarted();
    }
}

void TUnitTransfer::RetryTick()
{
    if (FOldCopies > 0) {
        if (WaitingForOldAnswers())
            return;
        if (!FRecords.empty() && FSpeedConfirmed)
            SendRecord(false);
        return;
    }
    if (!FRecords.empty() && !FSpeedConfirmed) {
        SentToUnit(AnswerSpeed);
        CX.SetFastSpeed();
    } else if (!FRecords.empty()) {
        SendRecord(false);
    } else if (FProgramStartPending) {
        // A second start that reaches a unit which has finished programming
        // programs the receiver again: it goes only once neither the answer
        // to the last one nor the logger status of a unit that took it can
        // still come, which on a slow line takes well beyond a record's answer.
        if (FAnswerClock.elapsed() - FLastSentAt <= ProgramStartLifetimeMs)
            return;
        SentToUnit(AnswerProgramStart);
        CX.SetParameterInt(ParamGPSUpdate, 1);
    } else {
        tWriteRetry.stop();
    }
}

// A unit that programs its receiver from its EEPROM refuses every write;
// one that refuses now and then does not. The first refusal of a transfer's
// first record, and five refusals of one record in a row, make the records
// wait while the owner listens for the unit's logger status.
bool TUnitTransfer::Refused()
{
    ++FRefusals;
    const bool First = FCursor == 0 && !FFirstRefused;
    FFirstRefused = FFirstRefused || FCursor == 0;
    if (!First && FRefusals < 5)
        return false;
    FRefusals = 0;
    ++FRefusalRounds;
    FPaused = true;
    tWriteRetry.stop();
    if (OnRecordsRefused)
        OnRecordsRefused();
    return true;
}

void TUnitTransfer::Resume()
{
    if (!FPaused)
        return;
    FPaused = false;
    ForgetAnswers();
    SendRecord(false);
}

// The cursor as the bar shows it: within 0..the record count.
void TUnitTransfer::Cursored(int Position)
{
    const int Count = static_cast<int>(FRecords.size());
    FCursor = Position < 0 ? 0 : (Position > Count ? Count : Position);
    FHost.SendBar(FCursor, Count);
}

// Re-sending a record is harmless (same bytes, same address); skipping one
// would leave a hole in the receiver's image.
void TUnitTransfer::SendRecord(bool Advance)
{
    tWriteRetry.stop();
    if (FPaused)
        return;
    if (Advance)
        Cursored(FCursor + 1);
    if (!FRecords.empty()) {
        const int Count = static_cast<int>(FRecords.size());
        if (WaitingForOldAnswers()) {
            // The timer sends it once the earlier copies are answered or lost.
        } else if (FCursor < Count) {
            const std::string& Record = FRecords[static_cast<std::size_t>(FCursor)];
            const std::size_t Blank = Record.find(' ');
            const std::string Address = Record.substr(0, Blank);
            const std::string Data = Blank == std::string::npos ? std::string() : Record.substr(Blank + 1);
            if (FCursor == FLastSent)
                if (OnRecordSentAgain)
                    OnRecordSentAgain();
            FLastSent = FCursor;
            SentToUnit(FCursor);
            CX.WriteEEPromData(DecToIntDef(Address, 0), Data);
            FHost.ProgressText(FixedText(FCursor * 100.0 / Count, 1) + "%");
        } else {
            FRecords.clear();
            FCursor = 0;
            FHost.SendBar(0, Count);
            FHost.ProgressText("100.0%");
            FHost.TransferState(TUpdateState::Busy);
            // Every record is in the unit: from here on it may be programming.
            FHost.TransferComplete(true);
            StartProgramming();
            return;
        }
    }
    if (!FRecords.empty())
        tWriteRetry.start();
}

// The unit programs its receiver once it holds 65352 = 1; the write is
// repeated until the unit acknowledges it, since a lost one would leave the
// update waiting for ever.
void TUnitTransfer::StartProgramming()
{
    FProgramStartPending = true;
    tWriteRetry.start();
    SentToUnit(AnswerProgramStart);
    CX.SetParameterInt(ParamGPSUpdate, 1);
}

// The unit took 65352 := 1. A repeat that reached it after it had finished
// would program the receiver a second time, so nothing repeats it any more.
void TUnitTransfer::ProgrammingStarted()
{
    if (FCurrentKind == AnswerProgramStart)
        CurrentAnswered();
    FProgramStartPending = false;
    tWriteRetry.stop();
    if (OnProgramStarted)
        OnProgramStarted();
    RequestVersion();
}

// The unit reports its logger status only while it programs: it heard the
// start, whatever became of the acknowledgement.
void TUnitTransfer::LoggerStatus()
{
    if (FProgramStartPending)
        ProgrammingStarted();
}

// While the unit programs, the receiver version is read until the required
// one is reported; GPS reports were switched off and may not come back.
void TUnitTransfer::RequestVersion()
{
    tGPSVersionPoll.start();
    CX.RequestParameter(ParamGPSVersion);
}

void TUnitTransfer::StopVersionPoll()
{
    tGPSVersionPoll.stop();
}

void TUnitTransfer::PollTick()
{
    if (FProgramStartPending || !CX.Connected()) {
        tGPSVersionPoll.stop();
        return;
    }
    RequestVersion();
}
