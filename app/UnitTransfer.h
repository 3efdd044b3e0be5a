#pragma once
// The receiver transfer through a tracking unit. Parameter 65352 says where
// the image goes in the unit's EEPROM and in which container; the image is
// cut into write records (command 0x1C) sent one at a time after the speed
// switch, each repeated until the unit acknowledges it; then 65352 := 1 makes
// the unit program its receiver, and parameter 65354 (the receiver's version)
// is asked for every 2 s while it does.
#include "app/TransferHost.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TCorvex;

class TUnitTransfer : public QObject
{
  public:
    static constexpr int32_t ParamGPSUpdate = 65352;  // address, readiness, container letter
    static constexpr int32_t ParamGPSVersion = 65354; // the receiver's version text

    TUnitTransfer(TCorvex& Link, TTransferHost& Host);

    // The unit took 65352 := 1, or showed by its logger status that it heard it.
    std::function<void()> OnProgramStarted;
    // A record went out again (unanswered, or refused).
    std::function<void()> OnRecordSentAgain;
    // The unit refused the first record, or one record five times running:
    // it may be programming its receiver from its EEPROM. The records wait
    // until Resume.
    std::function<void()> OnRecordsRefused;

    // 65352 as the unit reported it: EEPROM address, readiness (above 0: the
    // receiver can report its version) and container letter ("C" packed,
    // "V" plain "GPSz", else the raw image). False for an empty value: the
    // unit has no receiver updates.
    bool TakeUpdateParameter(const std::string& Value);
    // Forgets 65352 (a new connection).
    void ForgetUpdateParameter();
    int32_t EEPromAddress() const { return FEEPromAddress; }
    int32_t GPSReady() const { return FGPSReady; }
    bool PackImage() const { return FPackImage; }
    bool PlainHeader() const { return FPlainHeader; }

    // Cuts Image into records and switches the line to the fast speed; the
    // records follow once the switch is answered.
    void Start(const std::string& Image);
    // Ends whatever runs: records, the program start, the version questions.
    void Stop();

    // The link's answers, as the owner hears them.
    void FastSpeedAnswered();
    void Answered(bool Success); // to an EEPROM write or a parameter set
    void LoggerStatus();         // the unit reports its programming

    // Records refused in a row: the records go on from the cursor (they
    // waited since RecordsRefused). Rounds: how often they waited since the
    // unit last took one.
    void Resume();
    int RefusalRounds() const { return FRefusalRounds; }

    // Asks for the receiver's version now, and every 2 s until StopVersionPoll.
    void RequestVersion();
    void StopVersionPoll();
    // What the timers do (the owner's handlers tWriteRetryTimer and tGPSVersionPollTimer).
    void RetryTick();
    void PollTick();

    const std::vector<std::string>& Records() const { return FRecords; }
    int Cursor() const { return FCursor; }
    bool ProgramStartPending() const { return FProgramStartPending; }

    QTimer tWriteRetry;     // 750 ms: a record or the program start again
    QTimer tGPSVersionPoll; // 2 s: 65354 again while the unit programs

  private:
    static constexpr int WriteRetryMs = 750;
    static constexpr int GPSVersionPollMs = 2000;
    // Far longer than a unit takes to answer; a send this old is taken as unanswered.
    static constexpr int64_t AnswerLifetimeMs = 1500;
    static constexpr int64_t ProgramStartLifetimeMs = 4000;
    // Acknowledgements name no command: see ForgetAnswers.
    static constexpr int AnswerNone = -100;
    static constexpr int AnswerSpeed = -1;
    static constexpr int AnswerProgramStart = -2;

    void SendRecord(bool Advance);
    // A record was refused; true when the records now wait (RecordsRefused).
    bool Refused();
    void Cursored(int Position);
    void StartProgramming();
    void ProgrammingStarted();
    void ForgetAnswers();
    void SentToUnit(int Kind);
    void CurrentAnswered();
    bool WaitingForOldAnswers();

    TCorvex& CX;
    TTransferHost& FHost;

    int32_t FEEPromAddress = 0;
    int32_t FGPSReady = 0;
    bool FPackImage = false;
    bool FPlainHeader = false;

    std::vector<std::string> FRecords;
    int FCursor = 0;    // the record to write next
    int FLastSent = -1; // the record written last
    // The speed switch was answered; the records may go.
    bool FSpeedConfirmed = false;
    // 65352 := 1 was sent and not yet acknowledged.
    bool FProgramStartPending = false;
    // Refusals of the current record in a row, and whether the records wait for Resume.
    int FRefusals = 0;
    int FRefusalRounds = 0;
    bool FFirstRefused = false;
    bool FPaused = false;

    // Sends whose acknowledgement is still due: copies of the current send
    // (Kind: the record index, or one of the Answer... values), and copies
    // of what was sent before it.
    int FCurrentKind = AnswerNone;
    int FCurrentCopies = 0;
    int64_t FLastSentAt = 0;
    int FOldCopies = 0;
    int64_t FOldSentAt = 0;
    QElapsedTimer FAnswerClock;
};
