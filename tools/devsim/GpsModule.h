#pragma once
// A simulated External GPS module on a pty: its controller speaks "<" ... ">"
// frames (10 escapes 10, 3C, 3E), answers identify (01), takes 7F to pull its
// own firmware with block requests when older than 2.00, and passes FA requests
// to its receiver: "Q" for the version text, "R" + pages to start an image,
// "S"/"T" blocks of 2048 bytes (plain or raw deflate) acknowledged by status
// frames. docs/devices.md lists the frames.
#include "tools/devsim/BlockPuller.h"
#include "tools/devsim/SimDevice.h"

namespace devsim
{

struct ModuleConfig {
    uint32_t ModuleId = 0x00C0FFEE;
    uint8_t VersionMajor = 2; // below 2.00 the tool updates the controller first
    uint8_t VersionMinor = 10;
    std::string Name = "EGPS-3339";
    // Controller version after its own update; 0.00: the version the firmware
    // it received names at its start ("VELTRAC FW 2.03"), else 2.00.
    uint8_t UpdatedMajor = 0;
    uint8_t UpdatedMinor = 0;
    BlockWidth FirmwareWidth = BlockWidth::Wide;
    uint32_t HardwareId = 0;
    bool StartInLoader = false; // asks for controller firmware by itself from the start
    int BlockTimeoutMs = 1500;

    std::string ReceiverVersion = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";
    bool ReceiverReadable = true;        // false: "Q" gets an empty answer
    std::string VersionAfterProgramming; // empty: the image's own version text
    uint32_t MaxImageSize = 4u << 20;
    int ProgrammingMs = 5000; // from the last block until "Q" reports the new version
    BusyAnswer AnswerWhileProgramming = BusyAnswer::OldVersion; // to "Q"
    bool StatusWhenProgrammed = false; // status "S"/"T" 02 (the last block's kind) when it is done

    unsigned BaudRate = 9600;
    unsigned FastBaudRate = 57600;
    int PrepareDots = 8;
    int DotIntervalMs = 50;
    int ToolSwitchTimeoutMs = 20000; // preparing waits this long for the tool's port to follow
    int TransferTimeoutMs = 15000;   // no block this long: the transfer is given up
    bool StatusAfterLastBlock = true;
    // After the last block's status the module stays at FastBaudRate until the
    // tool's raw acknowledgement arrives or this long has passed since the status
    // went out; 0: back to BaudRate at once.
    int LastAckWaitMs = 500;
    double StatusFFShare = 0; // share of good blocks acknowledged with FF instead of 01
    int RestartMs = 300;
    bool WrongRateGarbage = true; // bytes at a rate the other side is not set to arrive as garbage, not lost
};

struct ModuleReport {
    LineCounters Line;
    unsigned Rate = 0;
    std::string ControllerVersion; // "2.10"
    bool InLoader = false;
    bool Preparing = false;
    bool Receiving = false;
    bool Programming = false;
    std::string ReceiverVersion;
    bool ReceiverReadable = true;
    std::size_t ReceiverImageSize = 0;
    int Identifies = 0;
    int VersionQuestions = 0;
    int QuestionRepeats = 0; // identify or "Q" again within 2.5 s
    int BusyQuestions = 0;   // "Q" while the receiver programs
    int ImageStarts = 0;     // every "R" received, also one ignored while busy or refused
    int Transfers = 0;       // "R" accepted
    int ImagesReceived = 0;  // complete images that passed the checks: programming started
    int Programmings = 0;    // images the receiver has finished programming
    int LastAckTimeouts = 0; // the last block's status was not acknowledged in time
    int TransferFailures = 0;
    std::string TransferError;
    int BlocksReceived = 0;
    int BlockRepeats = 0;  // the previous block again: acknowledged, not stored twice
    int BlocksRefused = 0; // answered 02
    int DotsSent = 0;
    int RawAcks = 0; // 3C FF FF FF 3E from the tool
    int ControllerUpdates = 0;
    int ControllerFailures = 0;
    std::string ControllerError;
    int ControllerRetries = 0;
    // The tool closed its port while the receiver programmed.
    std::vector<std::string> EndsWhileProgramming;

    int Retries() const { return QuestionRepeats + BlockRepeats + ControllerRetries; }
};

// Everything of a module that is not its line, as it is when the module is
// switched on: made from the config when the module is built, and made afresh
// in one assignment when the cable moves on to the next module, so nothing of
// the old module stays behind. GpsModule's own, through a private base.
struct ModuleState {
    enum State { Idle, Loader, Preparing, Receiving, Restarting };

    explicit ModuleState(const ModuleConfig& Config);

    ModuleConfig FConfig;
    State FState = Idle;
    uint8_t FMajor, FMinor;
    std::string FReceiverVersion;
    bool FReceiverReadable;
    std::string FReceiverImage;

    bool FInFrame = false;
    bool FEscape = false;
    std::string FFrame;

    int FPages = 0;
    std::string FImage;
    int FNextIndex = 0;
    int FDots = 0;
    Clock::time_point FDotNext = Clock::time_point::max();
    Clock::time_point FSwitchDeadline = Clock::time_point::max();
    Clock::time_point FTransferDeadline = Clock::time_point::max();
    Clock::time_point FLoaderAt = Clock::time_point::max();
    Clock::time_point FRestartEnd = Clock::time_point::max();
    bool FProgramming = false;
    char FProgKind = 0; // "S" or "T", the kind of the last block
    bool FAwaitingAck = false;
    Clock::time_point FAckDeadline = Clock::time_point::max();
    std::string FProgImage;
    Clock::time_point FProgEnd = Clock::time_point::max();
    Clock::time_point FLastIdentify{}, FLastQ{};

    BlockPuller FPuller;
    PulledFirmware FFirmware;
    ModuleReport FCount;
};

class GpsModule final : public ReportingDevice<ModuleReport>, private ModuleState
{
  public:
    explicit GpsModule(const ModuleConfig& Config = {});
    ~GpsModule() override;

    ModuleConfig Config() const;
    std::string ReceiverImage() const;
    PulledFirmware Firmware() const; // the last controller firmware pulled
    void SetReceiverVersion(const std::string& Version, bool Readable = true);

    // The cable moves on to the next module (SimDevice::MoveCable): a module
    // made from Next, as freshly switched on, takes this one's place on the
    // same line, drawing its faults from Seed. Gives what the departed module
    // ended with; nothing when the device has stopped.
    std::optional<ModuleReport> Exchange(const ModuleConfig& Next, uint32_t Seed);

    // Frame helpers, also used by tests: escaped content between "<" and ">".
    static std::string Escape(const std::string& Content);
    static std::string AnswerFrame(const std::string& Payload);
    static std::string StatusFrame(const std::string& Payload);
    static std::string CommandFrame(uint8_t Cmd, const std::string& Payload);

  protected:
    void OnReceived(const std::string& Bytes, Clock::time_point Now) override;
    void OnTimer(Clock::time_point Now) override;
    Clock::time_point NextTimer() const override;
    void OnLineLost(bool Unplugged) override;

  private:
    ModuleReport ReportLocked() const override;
    // The module on its line, switched on: its controller's firmware pull
    // speaks on the line, and a controller that starts in its loader asks at once.
    void PowerOn(Clock::time_point Now);
    std::string ControllerText() const;
    void RxByte(uint8_t B, Clock::time_point Now);
    void HandleFrame(const std::string& Content, Clock::time_point Now);
    void HandleCommand(uint8_t Cmd, const std::string& Payload, Clock::time_point Now);
    void HandleBlock(const std::string& Payload, Clock::time_point Now);
    void EndTransfer(const std::string& Error, char Kind);
    void StartLoader(Clock::time_point Now, bool Persistent);
    void FinishLoader(Clock::time_point Now);
    void Question(Clock::time_point& Last, Clock::time_point Now);
    void LeaveFastRate(const char* Why);
};

// "00C0FFEE": a module ID as the simulator prints it.
std::string ModuleIdText(uint32_t Id);

} // namespace devsim
