#pragma once
// A simulated Veltrac tracking unit on a pty: woken by "_CONFIGB\r", it speaks
// STX frames with checksum over command, length and payload (address 04 in its
// frames, 01 expected in the tool's), keeps an EEPROM into which the tool writes
// a receiver image, programs its GNSS receiver from it on parameter 65352 := 1,
// and pulls its own firmware with block requests after command 0x11.
// docs/devices.md lists the commands and answers.
//
//   devsim::UnitConfig C;
//   C.Container = 'V';
//   devsim::VeltracUnit Unit(C);
//   Unit.PlugAs(5, Folder);            // Folder/com5 -> the pty slave
//   ... run the tool against COM 5 ...
//   Unit.WaitUntil([](const devsim::UnitReport& R) { return R.Programmings > 0; }, 30000);
//   EXPECT_EQ(Unit.ReceiverImage(), Expected);
#include "tools/devsim/BlockPuller.h"
#include "tools/devsim/SimDevice.h"

#include <map>

namespace devsim
{

struct UnitConfig {
    // Identity, sent as extended unit information (0x0B) and version information (0x0A).
    uint8_t Class = 7;
    uint32_t UnitId = 123456;          // 24 bits
    uint32_t OriginalId = 0;           // 0: same as UnitId
    uint16_t HexType = 0x0000;         // 0 or FFFF: the tool cuts records of MaxLength - 4 bytes
    uint16_t OriginalHexType = 0xFFFF; // FFFF: same as HexType
    uint8_t VersionMajor = 2;
    uint8_t VersionMinor = 40;
    uint8_t Revision = 0;    // above 0: ".NN" after the version text
    char RevisionLetter = 0; // e.g. 'o' for "2.31o"
    uint8_t CoreMajor = 2;   // core number above 566: the tool asks for version information
    uint8_t CoreMinor = 90;
    uint8_t AuxMajor = 1;
    uint8_t AuxMinor = 0;
    uint16_t ExtCode = 0;
    uint8_t MaxLength = 250; // most payload bytes accepted in one command
    bool WideParameters = true;
    uint16_t ExtSize = 4096;
    uint8_t Hardware = 0x25; // shown as "2e5"; 0x21 ("2e1") allows the tool's recovery
    uint8_t HardwareRev = 3;
    uint32_t HardwareId = 0; // above 0: own firmware must carry this hardware id

    // Receiver.
    bool ReceiverUpdates = true;  // false: parameter 65352 answers an empty value
    bool ReceiverReadable = true; // false: readiness 0 and an empty 65354 until programmed
    std::string ReceiverVersion = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";
    std::string VersionAfterProgramming; // empty: the programmed image's own version text
    uint32_t EepromAddress = 0x10000;
    uint32_t EepromSize = 0x200000;
    char Container = 'C'; // 'C' packed "GPSz", 'V' plain "GPSz", any other letter: raw image
    int ProgrammingMs = 5000;
    // 65352 := 1 is acknowledged at once; programming starts this much later.
    // Meanwhile 65354 still answers the receiver's old version text (also for
    // a receiver that could not report one: the unit is waking it up).
    int ProgramGapMs = 200;
    BusyAnswer AnswerWhileProgramming = BusyAnswer::OldVersion; // to parameter 65354
    bool GpsWhileProgramming = true; // false: no GPS reports while the receiver programs
    int LoggerIntervalMs = 200;
    bool ResumeGpsAfterProgramming = true;
    // Above 0: the unit is switched on with its receiver programming, as one
    // that kept its own power while the tool's adapter dropped out or the tool
    // was ended: the programming ends this many ms after the unit is made and
    // began ProgrammingMs before its end (its logger status starts partway).
    // Its image is in the EEPROM already, in the container the letter names.
    int ProgrammingAtStartMs = 0;
    // The receiver image that programming installs; empty: one made with the
    // text of VersionAfterProgramming (else ReceiverVersion).
    std::string ImageAtStart;

    // Own firmware (0x11).
    bool AcceptsFirmware = true;
    BlockWidth FirmwareWidth = BlockWidth::Auto;
    uint8_t NewVersionMajor = 0; // 0.0: the old version's minor number plus one
    uint8_t NewVersionMinor = 0;
    char NewRevisionLetter = 0;
    int RestartMs = 500;
    int BlockTimeoutMs = 1500;
    int OffMs = 3000; // after 0xF2 the unit stays off this long (someone switches it on again)

    // Line.
    unsigned BaudRate = 9600;
    unsigned FastBaudRate = 57600;
    int SpeedFallbackMs = 3000; // no good frame at the fast rate this long: back to BaudRate
    int GpsIntervalMs = 1000;
    int LinkTimeoutMs = 20000;    // framed mode ends after this long without a command
    bool EchoWakeup = true;       // the wake-up text comes back before the unit information
    std::string Banner;           // text printed before the unit information
    bool WrongRateGarbage = true; // bytes at a rate the other side is not set to arrive as garbage, not lost
};

struct UnitReport {
    LineCounters Line;
    unsigned Rate = 0;
    bool Framed = false;             // in framed command mode
    bool Off = false;                // switched off by 0xF2, for OffMs
    bool Programming = false;        // programming the receiver now
    bool ProgrammingAtStart = false; // switched on with a programming under way
    bool Pulling = false;            // pulling its own firmware now
    std::string VersionText;         // the unit's firmware version, as the tool shows it
    std::string ReceiverVersion;
    bool ReceiverReadable = true;
    std::size_t ReceiverImageSize = 0;
    int Programmings = 0; // receiver programmed successfully
    int ProgrammingFailures = 0;
    std::string ProgrammingError; // why the last attempt failed; empty after a success
    std::string ProgrammedFrom;   // "raw image", "plain container" or "packed container"
    uint64_t UnwrittenBytes =
        0; // of the last image read: bytes no write had touched since the last programming
    int Wakeups = 0;
    int Transfers = 0; // EEPROM transfers the tool started: writes at the image address (stored or
                       // refused) that do not repeat the write just before
    int EepromWrites = 0;
    int EepromRewrites = 0; // writes of bytes that had been written already (re-sends)
    int EepromRefused = 0;  // answered 00: out of range, too long, busy or a refusal fault
    int ProgramStarts = 0;
    int ProgramStartRepeats = 0; // 65352 := 1 again while programming (or before it began)
    // Every command that ended the link while the receiver programmed (or was
    // about to, after 65352 := 1): "F2 turn off", "FF end of connection",
    // "port closed".
    std::vector<std::string> EndsWhileProgramming;
    // What else the tool did while the receiver programmed (from 65352 := 1,
    // or from the start for a unit switched on programming, until it ended);
    // 65352 := 1 itself is ProgramStartRepeats.
    int TransfersWhileProgramming = 0;           // counted in Transfers too
    int SpeedSwitchesWhileProgramming = 0;       // counted in SpeedSwitches too
    int EepromWritesWhileProgramming = 0;        // every one refused (in EepromRefused too)
    std::map<int, int> CommandsWhileProgramming; // received commands by id
    int ReceiverQuestions = 0;                   // parameter 65354 asked
    int BusyQuestions = 0;                       // ... while the receiver programs
    int GapQuestions = 0;                        // ... after 65352 := 1, before programming began
    int VersionRequests = 0;
    int VersionRequestRepeats = 0; // 0x0A again in the same connection
    bool GpsReports = false;
    int GpsReportsSent = 0;
    bool LoggerReports = false;
    int LoggerStatusSent = 0;
    int SpeedSwitches = 0;
    int SpeedFallbacks = 0;
    int FirmwareUpdates = 0; // own firmware pulled and checked
    int FirmwareFailures = 0;
    std::string FirmwareError;
    bool LastUpdateFlag = false; // payload 01 with the last 0x11
    int FirmwareRetries = 0;
    int TurnOffs = 0;
    int EndOfConnections = 0;
    std::map<int, int> Commands; // received commands by id

    int Retries() const
    {
        return EepromRewrites + ProgramStartRepeats + VersionRequestRepeats + FirmwareRetries;
    }
};

// Everything of a unit that is not its line, as it is when the unit is
// switched on: made from the config when the unit is built, and made afresh in
// one assignment when the cable moves on to the next unit, so nothing of the
// old unit stays behind. VeltracUnit's own, through a private base.
struct UnitState {
    enum State { Idle, Framed, Pulling, Restarting, Off };
    enum RxState { Hunt, Address, Command, Length, Data, Sum };

    explicit UnitState(const UnitConfig& Config);

    UnitConfig FConfig;
    State FState = Idle;
    uint8_t FMajor, FMinor;
    char FLetter;
    uint8_t FRevision;

    // Receiver and EEPROM.
    std::string FReceiverVersion;
    bool FReceiverReadable;
    std::string FReceiverImage;
    std::string FEeprom;
    std::vector<bool> FWritten; // bytes written since the last programming
    bool FProgramming = false;
    Clock::time_point FProgramAt = Clock::time_point::max(); // the end of the gap before programming
    std::string FProgImage;
    int FProgTotal = 0;
    Clock::time_point FProgStart{}, FProgEnd{}, FLoggerNext = Clock::time_point::max();

    // Session.
    std::string FWake;
    RxState FRxState = Hunt;
    bool FEscape = false;
    uint8_t FRxAddress = 0, FRxCmd = 0, FRxLen = 0;
    std::string FRxData;
    bool FGps = false;
    bool FGpsShort = false;
    Clock::time_point FGpsNext = Clock::time_point::max();
    bool FLogger = false;
    Clock::time_point FLastCommand{};
    Clock::time_point FFastDeadline = Clock::time_point::max();
    Clock::time_point FRestartEnd = Clock::time_point::max();
    Clock::time_point FPullAt = Clock::time_point::max();
    Clock::time_point FOnAgain = Clock::time_point::max();
    std::map<int, std::string> FParameters;
    int FSessionVersionRequests = 0;
    bool FLastWriteAtImage = false; // the last write of this session began at the image address

    BlockPuller FPuller;
    PulledFirmware FFirmware;
    UnitReport FCount; // counters kept here; ReportLocked fills in the rest
};

class VeltracUnit final : public ReportingDevice<UnitReport>, private UnitState
{
  public:
    explicit VeltracUnit(const UnitConfig& Config = {});
    ~VeltracUnit() override;

    UnitConfig Config() const;

    std::string ReceiverImage() const; // the bytes the receiver was last programmed with
    std::string Eeprom(uint32_t Address, uint32_t Length) const;
    PulledFirmware Firmware() const; // the last own firmware pulled (also a refused one)
    // Changes what the receiver reports from now on.
    void SetReceiverVersion(const std::string& Version, bool Readable = true);

    // The cable moves on to the next unit (SimDevice::MoveCable): a unit made
    // from Next, as freshly switched on, takes this one's place on the same
    // line, drawing its faults from Seed. Gives what the departed unit ended
    // with; nothing when the device has stopped.
    std::optional<UnitReport> Exchange(const UnitConfig& Next, uint32_t Seed);

  protected:
    void OnReceived(const std::string& Bytes, Clock::time_point Now) override;
    void OnTimer(Clock::time_point Now) override;
    Clock::time_point NextTimer() const override;
    void OnLineLost(bool Unplugged) override;

  private:
    UnitReport ReportLocked() const override;
    // The unit on its line, switched on: its firmware pull speaks on the line.
    void PowerOn();
    std::string VersionTextLocked() const;
    void RxByte(uint8_t B, Clock::time_point Now);
    void Wakeup(Clock::time_point Now);
    void HandleCommand(uint8_t Cmd, const std::string& Data, Clock::time_point Now);
    void Reply(uint8_t Cmd, const std::string& Payload);
    void Ack(bool Ok) { Reply(0x02, std::string(1, Ok ? '\x01' : '\x00')); }
    void Send(uint8_t Cmd, const std::string& Payload);
    std::string Frame(uint8_t Cmd, const std::string& Payload) const;
    std::string UnitInfoPayload() const;
    std::string VersionInfoPayload() const;
    std::string GpsPayload(bool Short) const;
    void Parameter(int Number, Clock::time_point Now);
    void SetParameter(int Number, const std::string& Value, Clock::time_point Now);
    void EepromWrite(const std::string& Data);
    void StartProgramming(Clock::time_point Now);
    // The programming under way when the unit is switched on (ProgrammingAtStartMs).
    void ProgrammingUnderWay(Clock::time_point Now);
    // The receiver programs Image from Start until End; logger status from Now on.
    void BeginProgramming(std::string Image, Clock::time_point Start, Clock::time_point End,
                          Clock::time_point Now);
    // GPS reports held back: the receiver programs and the unit does not report meanwhile.
    bool GpsHeld() const { return FProgramming && !FConfig.GpsWhileProgramming; }
    bool ProgrammingOrAbout() const { return FProgramming || FProgramAt != Clock::time_point::max(); }
    void LinkEnded(const char* How);
    void SendLoggerStatus(Clock::time_point Now);
    void FinishProgramming(Clock::time_point Now);
    void StartPull(Clock::time_point Now);
    void FinishPull(Clock::time_point Now);
    void EndSession(const char* Why);
};

// The name a command goes by in the fault settings (DropNamed): "param",
// "eeprom", "speed", ...; "command" for one the unit does not know.
const char* UnitCommandName(int Cmd);

// "2.40", "2.31o", "2.40.03b": the version text the tool shows with revisions on.
std::string UnitVersionText(uint8_t Major, uint8_t Minor, uint8_t Revision, char Letter);

} // namespace devsim
