// The fault matrix: complete updates through the update session against
// simulated devices that misbehave, seed by seed, for both device types.
// Every run must end with the session stating the outcome the device gave
// it ("updated" once the receiver reports the new version), with exactly one
// complete transfer, and with the device's receiver holding exactly the image
// sent. A hang-up in the middle of a transfer must be reported, must not make
// the tool spin, and a new Open after the re-plug must finish the update.
// Further rows try the end of a transfer against receivers that program for
// seconds and meanwhile report their old version or nothing, a custom image
// (also one of the version the receiver already runs), a recovery whose
// receiver reports its old version in the moment before programming begins,
// a unit unplugged while it programs, and a receiver that never reports the
// new version; on a line without faults no byte may cross at a rate the other
// side is not set to, and nothing may end the link while a receiver programs.
//
// Several runs go at once in this one process: each has its own session, its
// own simulated device (with its own thread) and its own COM number, and all
// sessions share the Qt main thread as the application's do. The tool's own
// retry timers (750 ms, 2 s) set the pace, so the runs mostly wait.
//
// VELTRAC_FAULT_SEEDS sets the seeds per fault (default 50, 10 in sanitizer
// builds), VELTRAC_FAULT_PARALLEL the runs at once (default 25),
// VELTRAC_FAULT_LOG the device log lines a failure shows (default 12),
// VELTRAC_FAULT_TRACE a folder that gets every device's whole log, and
// VELTRAC_FAULT_REOPEN=close-open makes the re-plugged runs press Close
// before Open, and VELTRAC_FAULT_SCALE multiplies every fault share.
#include "app/UpdateSession.h"
#include "serial/AppException.h"
#include "tests/common/QtWait.h"
#include "tests/common/TestStore.h"
#include "tools/devsim/GpsModule.h"
#include "tools/devsim/ReceiverImage.h"
#include "tools/devsim/VeltracUnit.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace
{

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int DefaultSeeds = 10;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr int DefaultSeeds = 10;
#else
constexpr int DefaultSeeds = 50;
#endif
#else
constexpr int DefaultSeeds = 50;
#endif

int EnvInt(const char* Name, int Default)
{
    const char* V = std::getenv(Name);
    return V && *V ? std::max(1, std::atoi(V)) : Default;
}

// What the simulated receivers report before the update, and the image the
// tool must choose for it (see faults-manifest.ini).
const std::string OldVersion = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";
const std::string NewVersion = "AXN_5.1.9_3333_23110100,5110,MC-GG,1.1";

std::string ReadFile(const std::string& Path)
{
    std::ifstream F(Path, std::ios::binary);
    std::ostringstream S;
    S << F.rdbuf();
    return S.str();
}

const std::string& CarriedImage()
{
    static const std::string Image = ReadFile(std::string(VELTRAC_FAULT_ITEMS) + "/" + NewVersion + ".bin");
    return Image;
}

enum class TFault {
    Clean,
    DropReplies,
    RefuseWrites,
    CorruptToDevice,
    CorruptToTool,
    LateReplies,
    HangUp,
    // The end of a transfer, on a line without faults, with a receiver that programs for 5 s:
    SlowOldAnswer,     // meanwhile its version question is answered with the old version
    SlowSilent,        // meanwhile the question goes unanswered
    Status02After,     // the module sends a status 02 when it is done
    CustomImage,       // an image of the technician's, "/MANUAL"
    CustomSameVersion, // the same, of the version the receiver already runs
    Recovery,          // a receiver that cannot report its version (a unit: the old one before programming)
    NeverConfirms,     // the receiver keeps reporting the old version (confirmation time 10 s)
    HangUpProgramming, // unplugged while it programs, re-plugged, Open: followed to the end
    FoundProgramming   // already programming when the port is opened: followed, nothing written
};

bool HangsUp(TFault F)
{
    return F == TFault::HangUp || F == TFault::HangUpProgramming;
}

bool Custom(TFault F)
{
    return F == TFault::CustomImage || F == TFault::CustomSameVersion;
}

// Rows about the end of a transfer: a few seeds (they are deterministic), a
// clean line, slow programming.
bool EndOfTransferRow(TFault F)
{
    return F >= TFault::SlowOldAnswer;
}

constexpr int SlowProgrammingMs = 5000;
const std::string CustomVersion = "AXN_9.9_4321_26120800,9999,MC-GG,9.9";

const std::string& CustomImage()
{
    static const std::string Image = devsim::MakeMediaTekImage(CustomVersion, 7000, 77);
    return Image;
}

const std::string& CustomSameImage()
{
    static const std::string Image = devsim::MakeMediaTekImage(OldVersion, 6000, 78);
    return Image;
}

const char* FaultName(TFault F)
{
    switch (F) {
    case TFault::Clean:
        return "none";
    case TFault::DropReplies:
        return "dropped replies";
    case TFault::RefuseWrites:
        return "refused writes";
    case TFault::CorruptToDevice:
        return "corrupt bytes to device";
    case TFault::CorruptToTool:
        return "corrupt bytes to tool";
    case TFault::LateReplies:
        return "delayed replies";
    case TFault::HangUp:
        return "hang-up, re-plug, Open";
    case TFault::SlowOldAnswer:
        return "slow programming, old version";
    case TFault::SlowSilent:
        return "slow programming, no answer";
    case TFault::Status02After:
        return "status 02 after programming";
    case TFault::CustomImage:
        return "custom image";
    case TFault::FoundProgramming:
        return "found programming";
    case TFault::CustomSameVersion:
        return "custom image, same version";
    case TFault::Recovery:
        return "recovery";
    case TFault::NeverConfirms:
        return "never reports the new version";
    case TFault::HangUpProgramming:
        return "hang-up programming, Open";
    }
    return "?";
}

devsim::Faults FaultsFor(TFault F, int Seed, bool Unit)
{
    // VELTRAC_FAULT_SCALE multiplies every share (to try harsher lines by hand).
    const char* ScaleText = std::getenv("VELTRAC_FAULT_SCALE");
    const double Scale = ScaleText && *ScaleText ? std::atof(ScaleText) : 1.0;
    devsim::Faults D;
    D.Seed = static_cast<uint32_t>(Seed);
    switch (F) {
    case TFault::Clean:
        break;
    case TFault::DropReplies:
        D.DropReplies = 0.15;
        break;
    case TFault::RefuseWrites:
        D.RefuseWrites = 0.2;
        break;
    case TFault::CorruptToDevice:
        D.CorruptRx = 0.0003;
        break;
    case TFault::CorruptToTool:
        D.CorruptTx = 0.003; // answers are short: a higher share per byte
        break;
    case TFault::LateReplies:
        // Later than the tool's retry timers: the answer and the repeated
        // question cross on the line.
        D.LateReplies = 0.2;
        D.LateMs = Unit ? 1000 : 2500;
        break;
    case TFault::SlowOldAnswer:
    case TFault::SlowSilent:
    case TFault::Status02After:
    case TFault::CustomImage:
    case TFault::CustomSameVersion:
    case TFault::Recovery:
    case TFault::NeverConfirms:
    case TFault::FoundProgramming:
        break;
    case TFault::HangUpProgramming:
        D.HangUpAt = "logger:3"; // the unit reports its programming, then is unplugged
        break;
    case TFault::HangUp:
        // Somewhere in the transfer: an EEPROM record of the unit, a block of the module.
        D.HangUpAt =
            Unit ? "eeprom:" + std::to_string(1 + Seed % 8) : "block:" + std::to_string(1 + Seed % 2);
        break;
    }
    D.DropReplies = std::min(1.0, D.DropReplies * Scale);
    D.RefuseWrites = std::min(1.0, D.RefuseWrites * Scale);
    D.CorruptRx = std::min(1.0, D.CorruptRx * Scale);
    D.CorruptTx = std::min(1.0, D.CorruptTx * Scale);
    D.LateReplies = std::min(1.0, D.LateReplies * Scale);
    return D;
}

// Messages that reached the application's exception handler, for every run.
std::vector<std::string>* Reported = nullptr;

struct TRun {
    int Seed = 0;
    int Com = 0;
    bool Unit = true;
    TFault Fault = TFault::Clean;
    std::unique_ptr<devsim::VeltracUnit> VeltracDevice;
    std::unique_ptr<devsim::GpsModule> ModuleDevice;
    std::unique_ptr<TUpdateSession> Session;
    std::vector<std::string> Errors;      // error boxes the session asked for
    std::vector<TUpdateOutcome> Outcomes; // as the session stated them
    QElapsedTimer Clock;
    enum { Running, HungUp, Reopened, Finished } Phase = Running;
    bool Completed = false;
    bool Intact = false; // the receiver holds the image sent, reports its version, took one transfer
    bool ClearMessage = false;
    std::string Failure;
    // Data the tool sent more than once: EEPROM records (by address) or module
    // blocks (by kind and index), counted as they go out.
    std::map<std::string, int> Sent;
    int Retries() const
    {
        int N = 0;
        for (const auto& [Key, Count] : Sent)
            N += Count - 1;
        return N;
    }

    devsim::SimDevice& Device()
    {
        return Unit ? static_cast<devsim::SimDevice&>(*VeltracDevice) : *ModuleDevice;
    }
    devsim::LineCounters Line() { return Device().Line(); }
    int Programmings()
    {
        return Unit ? VeltracDevice->Report().Programmings : ModuleDevice->Report().Programmings;
    }
    std::string ReceiverVersion()
    {
        return Unit ? VeltracDevice->Report().ReceiverVersion : ModuleDevice->Report().ReceiverVersion;
    }
    std::string ReceiverImage()
    {
        return Unit ? VeltracDevice->ReceiverImage() : ModuleDevice->ReceiverImage();
    }
    // What the run should end with.
    const std::string& ExpectedImage() const
    {
        return Fault == TFault::CustomImage         ? CustomImage()
               : Fault == TFault::CustomSameVersion ? CustomSameImage()
                                                    : CarriedImage();
    }
    const std::string& ExpectedVersion() const
    {
        return Fault == TFault::CustomImage                                           ? CustomVersion
               : Fault == TFault::NeverConfirms || Fault == TFault::CustomSameVersion ? OldVersion
                                                                                      : NewVersion;
    }
    // Whatever ended the link while the receiver programmed.
    std::vector<std::string> EndsWhileProgramming()
    {
        return Unit ? VeltracDevice->Report().EndsWhileProgramming
                    : ModuleDevice->Report().EndsWhileProgramming;
    }
    TOutcomeKind ExpectedOutcome() const
    {
        return Fault == TFault::NeverConfirms ? TOutcomeKind::NotConfirmed : TOutcomeKind::Updated;
    }
    // Exactly one complete transfer; on a clean line not even a second start.
    std::string TransferCount()
    {
        const bool Clean = Fault == TFault::Clean || EndOfTransferRow(Fault);
        std::ostringstream S;
        if (Unit) {
            const auto U = VeltracDevice->Report();
            // A programming found is followed: nothing is sent into the unit.
            const int Transfers = Fault == TFault::FoundProgramming ? 0 : 1;
            if (U.Programmings != 1 || (Clean && U.Transfers != Transfers) || U.EepromWritesWhileProgramming > 0)
                S << "the unit took " << U.Transfers << " transfers and programmed " << U.Programmings
                  << " times (" << U.EepromWritesWhileProgramming << " EEPROM writes while programming)";
        } else {
            const auto M = ModuleDevice->Report();
            if (M.Programmings != 1 || M.ImagesReceived != 1 || (Clean && M.ImageStarts != 1))
                S << "the module started " << M.ImageStarts << " images, received " << M.ImagesReceived
                  << " and programmed " << M.Programmings << " times";
        }
        return S.str();
    }

    std::string Describe()
    {
        const TUpdateDisplay& D = Session->Display();
        std::ostringstream S;
        S << (Unit ? "Veltrac" : "External GPS") << " seed " << Seed << " (" << FaultName(Fault)
          << "): state " << int(Session->UpdateState()) << ", current \"" << D.vGPSCurrent << "\", needed \""
          << D.vGPSNeeded << "\", progress " << D.pSendProgress.Position << "/" << D.pSendProgress.Maximum
          << " " << D.pUpdateProgress.Position << "/" << D.pUpdateProgress.Maximum << "; device programmed "
          << Programmings() << "x, reports \"" << ReceiverVersion() << "\"";
        // The end of the device's log (VELTRAC_FAULT_LOG=N lines; default 12).
        const std::vector<std::string> Log = Device().LogLines();
        const std::size_t Lines = static_cast<std::size_t>(EnvInt("VELTRAC_FAULT_LOG", 12));
        for (std::size_t i = Log.size() > Lines ? Log.size() - Lines : 0; i < Log.size(); ++i)
            S << "\n    " << Log[i];
        return S.str();
    }
};

class FaultMatrix : public ::testing::TestWithParam<std::tuple<bool, TFault>>
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(FDir.isValid());
        setenv("VELTRAC_COM_DIR", FDir.path().toLocal8Bit().constData(), 1);
        ASSERT_GT(CarriedImage().size(), 448u);
        Reported = &FReported;
        SetApplicationExceptionHandler([](const std::exception& E) {
            if (Reported)
                Reported->push_back(E.what());
        });
    }

    void TearDown() override
    {
        SetApplicationExceptionHandler(nullptr);
        Reported = nullptr;
        unsetenv("VELTRAC_COM_DIR");
    }

    std::unique_ptr<TRun> Start(int Seed, int Com, bool Unit, TFault Fault)
    {
        auto R = std::make_unique<TRun>();
        R->Seed = Seed;
        R->Com = Com;
        R->Unit = Unit;
        R->Fault = Fault;
        if (Unit) {
            devsim::UnitConfig C;
            C.UnitId = 100000 + static_cast<uint32_t>(Seed);
            C.ReceiverVersion = OldVersion;
            C.GpsIntervalMs = 300;
            // A real unit's end of a transfer (old version while programming,
            // wrong-rate bytes as garbage), programming quickly unless the row is about it.
            C.ProgrammingMs = EndOfTransferRow(Fault) ? SlowProgrammingMs : 300;
            C.LoggerIntervalMs = 50;
            if (Fault == TFault::Recovery) {
                C.Hardware = 0x21; // "2e1": the tool may force a recovery
                C.ReceiverReadable = false;
                C.ProgramGapMs = 400; // the version question goes out in the gap
            }
            C.Container = "CVR"[Seed % 3]; // packed, plain and raw images in turn
            if (Fault == TFault::FoundProgramming) {
                // Both ways a programming unit shows itself, seed by seed: GPS
                // reports on and the old version, or GPS reports stopped and no answer.
                C.ProgrammingAtStartMs = SlowProgrammingMs;
                C.ImageAtStart = CarriedImage();
                C.GpsWhileProgramming = Seed % 2 == 0;
                C.AnswerWhileProgramming = Seed % 2 == 0 ? devsim::BusyAnswer::OldVersion : devsim::BusyAnswer::Empty;
            }
            R->VeltracDevice = std::make_unique<devsim::VeltracUnit>(C);
        } else {
            devsim::ModuleConfig C;
            C.ReceiverVersion = OldVersion;
            // A real module's end of a transfer (old version while programming,
            // 57600 until the last acknowledgement, wrong-rate bytes as garbage),
            // programming quickly unless the row is about it.
            C.ProgrammingMs = EndOfTransferRow(Fault) ? SlowProgrammingMs : 200;
            // A receiver preparing its flash: a dot now and then, the first well after
            // its answer to "R" (the tool follows to 57600 once it has read that answer).
            C.PrepareDots = 4;
            C.DotIntervalMs = 250;
            C.RestartMs = 100;
            if (Fault == TFault::SlowSilent)
                C.AnswerWhileProgramming = devsim::BusyAnswer::None;
            C.StatusWhenProgrammed = Fault == TFault::Status02After;
            C.ReceiverReadable = Fault != TFault::Recovery;
            if (Fault == TFault::NeverConfirms)
                C.VersionAfterProgramming = OldVersion;
            R->ModuleDevice = std::make_unique<devsim::GpsModule>(C);
        }
        devsim::SimDevice& D = R->Device();
        std::string Error;
        EXPECT_TRUE(D.Ok()) << D.Error();
        EXPECT_TRUE(D.PlugAs(Com, {}, &Error)) << Error;
        // VELTRAC_FAULT_TRACE=<folder>: every device's whole log goes to a file there.
        if (const char* Trace = std::getenv("VELTRAC_FAULT_TRACE")) {
            auto Out = std::make_shared<std::ofstream>(
                std::string(Trace) + "/" + (Unit ? "veltrac" : "egps") + "-" +
                std::to_string(static_cast<int>(Fault)) + "-" + std::to_string(Seed) + ".log");
            auto Lock = std::make_shared<std::mutex>();
            D.SetLogSink([Out, Lock](const std::string& Line) {
                std::lock_guard<std::mutex> G(*Lock);
                *Out << Line << "\n" << std::flush;
            });
        }
        devsim::Faults F = FaultsFor(Fault, Seed, Unit);
        if (HangsUp(Fault))
            F.ReplugAfterMs = -1; // the test plugs it in again once the tool is seen idle
        D.SetFaults(F);

        // A custom image goes as the command line sends one: with the automatic choice off.
        R->Session = std::make_unique<TUpdateSession>(
            TestStore(), Custom(Fault) ? std::vector<std::string>{"/MANUAL"} : std::vector<std::string>{});
        if (Custom(Fault))
            R->Session->PlanCustomImage(CustomFile(Fault));
        else if (Fault == TFault::Recovery)
            R->Session->PlanRecovery();
        if (Fault == TFault::NeverConfirms)
            R->Session->SetConfirmTimeout(10000);
        TRun* Raw = R.get();
        QObject::connect(R->Session.get(), &TUpdateSession::Finished,
                         [Raw](const TUpdateOutcome& O) { Raw->Outcomes.push_back(O); });
        R->Session->Log.OnUnitFrame = [Raw](TUpdateSession*, bool Outgoing, uint8_t Cmd, const std::string& Hex) {
            if (Outgoing && Cmd == 0x1C)
                ++Raw->Sent[Hex.substr(0, 11)]; // the four address bytes
        };
        R->Session->Log.OnModuleFrame = [Raw](TUpdateSession*, bool Outgoing, const std::string& Wire) {
            // "<" 00 2C FA kind index ... ">": a receiver block; the kind and index follow unescaped
            // unless they are 10, 3C or 3E, which only an index can be.
            if (Outgoing && Wire.size() > 6 && Wire.compare(1, 3, "\x00\x2C\xFA", 3) == 0 &&
                (Wire[4] == 'R' || Wire[4] == 'S' || Wire[4] == 'T'))
                ++Raw->Sent[Wire.substr(4, Wire[4] == 'R' ? 1 : (Wire[5] == '\x10' ? 3 : 2))];
        };
        R->Session->OnShowError = [Raw](TUpdateSession*, const std::string& M) { Raw->Errors.push_back(M); };
        R->Session->OnChooseFirmwareFile = [](TUpdateSession*) { return std::string(); };
        R->Session->SetDeviceType(Unit ? dtVeltrac : dtExternalGPS);
        R->Session->SetComNumber(Com);
        R->Clock.start();
        FrontEnd(*R, [&] { R->Session->Open(); });
        return R;
    }

    // As the window calls the session: what the call raises is shown to the
    // user, and for a run it is a failure.
    template <typename F> void FrontEnd(TRun& R, F&& Call)
    {
        try {
            Call();
        } catch (const std::exception& E) {
            R.Failure = std::string("the front end got an error: ") + E.what() + ": " + R.Describe();
            R.Phase = TRun::Finished;
        }
    }

    static std::string PortName(const TRun& R) { return "COM " + std::to_string(R.Com) + " "; }

    // One step of a run; true when it has ended.
    bool Step(TRun& R, int TimeoutMs)
    {
        if (R.Phase == TRun::Finished)
            return true;
        TUpdateSession& S = *R.Session;
        if (R.Phase == TRun::Running && HangsUp(R.Fault) && R.Line().HangUps > 0) {
            R.Phase = TRun::HungUp;
            return false;
        }
        if (R.Phase == TRun::HungUp)
            return false; // the wave re-plugs them together
        (void)S;
        // Before the re-plug the session ends its run with the hang-up; that one is not the result.
        const bool Counted = !HangsUp(R.Fault) || R.Phase == TRun::Reopened;
        if (Counted && !R.Outcomes.empty()) {
            const TUpdateOutcome& O = R.Outcomes.back();
            R.Completed = O.Kind == R.ExpectedOutcome();
            const std::string Transfers = R.TransferCount();
            R.Intact = R.ReceiverImage() == R.ExpectedImage() && R.ReceiverVersion() == R.ExpectedVersion() &&
                       Transfers.empty();
            if (!R.Completed)
                R.Failure = std::string("the run ended ") + OutcomeName(O.Kind) + " (" + O.Message +
                            "): " + R.Describe();
            else if (!R.Intact)
                R.Failure = "the device does not hold the image sent, or took more than one transfer" +
                            (Transfers.empty() ? std::string() : " (" + Transfers + ")") + ": " +
                            R.Describe();
            else if (R.Outcomes.size() != 1 && !HangsUp(R.Fault))
                R.Failure =
                    "the session stated " + std::to_string(R.Outcomes.size()) + " outcomes: " + R.Describe();
            else if (const auto Ends = R.EndsWhileProgramming(); !Ends.empty())
                R.Failure = "the link was ended while the receiver programmed (" + Ends.front() +
                            "): " + R.Describe();
            else if (R.Fault == TFault::Recovery && R.Unit && R.VeltracDevice->Report().GapQuestions == 0)
                R.Failure = "the receiver was never asked in the moment before programming: " + R.Describe();
            // (A unit unplugged after its speed switch keeps its rate until its link times out.)
            else if ((R.Fault == TFault::Clean || EndOfTransferRow(R.Fault)) && !HangsUp(R.Fault) &&
                     (R.Line().SpeedMismatchIn != 0 || R.Line().SpeedMismatchOut != 0))
                R.Failure = "bytes crossed at a wrong rate (" + std::to_string(R.Line().SpeedMismatchIn) +
                            " to the device, " + std::to_string(R.Line().SpeedMismatchOut) +
                            " to the tool): " + R.Describe();
        } else if (R.Clock.elapsed() > TimeoutMs) {
            R.Failure = "no end within " + std::to_string(TimeoutMs / 1000) + " s: " + R.Describe();
        } else {
            return false;
        }
        R.Phase = TRun::Finished;
        return true;
    }

    // The custom image, as a file the session reads.
    std::string CustomFile(TFault Fault)
    {
        const bool Same = Fault == TFault::CustomSameVersion;
        const std::string& Image = Same ? CustomSameImage() : CustomImage();
        const QString Path = FDir.filePath(Same ? "custom-same.bin" : "custom.bin");
        if (!QFile::exists(Path)) {
            QFile F(Path);
            EXPECT_TRUE(F.open(QIODevice::WriteOnly));
            F.write(Image.data(), static_cast<qint64>(Image.size()));
        }
        return Path.toStdString();
    }

    QTemporaryDir FDir;
    std::vector<std::string> FReported;
};

double ProcessCpuSeconds()
{
    rusage U{};
    getrusage(RUSAGE_SELF, &U);
    return static_cast<double>(U.ru_utime.tv_sec + U.ru_stime.tv_sec) +
           static_cast<double>(U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

struct TRow {
    std::string Device, Fault;
    int Runs = 0, Completed = 0, Retries = 0, Lost = 0;
    double Seconds = 0;
};
std::vector<TRow> Table;

} // namespace

TEST_P(FaultMatrix, EveryRunEndsWithTheCarriedImage)
{
    const bool Unit = std::get<0>(GetParam());
    const TFault Fault = std::get<1>(GetParam());
    const int Seeds =
        Fault == TFault::Clean || EndOfTransferRow(Fault) ? 3 : EnvInt("VELTRAC_FAULT_SEEDS", DefaultSeeds);
    const int Parallel = EnvInt("VELTRAC_FAULT_PARALLEL", 25);
    // Generous: each run waits for the tool's retry timers, and the sanitizer
    // build on a loaded machine is many times slower.
    const int TimeoutMs = 120000;

    TRow Row;
    Row.Device = Unit ? "Veltrac" : "External GPS";
    Row.Fault = FaultName(Fault);
    QElapsedTimer Total;
    Total.start();
    for (int First = 1; First <= Seeds; First += Parallel) {
        std::vector<std::unique_ptr<TRun>> Wave;
        for (int Seed = First; Seed < First + Parallel && Seed <= Seeds; ++Seed)
            Wave.push_back(Start(Seed, 1 + static_cast<int>(Wave.size()), Unit, Fault));
        auto AllEnded = [&] {
            bool All = true;
            for (auto& R : Wave)
                All = Step(*R, TimeoutMs) && All;
            return All;
        };
        if (HangsUp(Fault)) {
            // Every run of the wave up to its hang-up.
            WaitFor(
                [&] {
                    AllEnded();
                    return std::all_of(Wave.begin(), Wave.end(),
                                       [](auto& R) { return R->Phase != TRun::Running; });
                },
                TimeoutMs);
            // Unplugged devices and the sessions that lost them: the tool waits
            // for the user, it does not spin.
            Pump(300);
            const double Cpu0 = ProcessCpuSeconds();
            Pump(1000);
            const double Busy = ProcessCpuSeconds() - Cpu0;
            EXPECT_LT(Busy, 0.5) << "the tool kept a core busy while the devices were unplugged";
            for (auto& R : Wave) {
                if (R->Phase != TRun::HungUp) {
                    if (R->Failure.empty())
                        R->Failure = "ended without reaching its hang-up point: " + R->Describe();
                    continue;
                }
                // Told from the port's own hang-up, saying what it means for the receiver.
                const char* Means = Fault == TFault::HangUp
                                        ? "disappeared during the receiver transfer"
                                        : "disappeared while the receiver was being programmed";
                R->ClearMessage = !R->Outcomes.empty() &&
                                  R->Outcomes.back().Kind == TOutcomeKind::PortError &&
                                  R->Outcomes.back().Message.find(Means) != std::string::npos &&
                                  R->Outcomes.back().Message.starts_with(PortName(*R));
                if (!R->ClearMessage)
                    R->Failure =
                        "the hang-up was not reported (" +
                        (R->Outcomes.empty() ? std::string("no outcome") : R->Outcomes.back().Message) +
                        "): " + R->Describe();
                std::string Error;
                EXPECT_TRUE(R->Device().Replug(&Error)) << Error;
            }
            Pump(200);
            for (auto& R : Wave)
                if (R->Phase == TRun::HungUp) {
                    R->Phase = TRun::Reopened;
                    R->Outcomes.clear();
                    R->Clock.restart();
                    FrontEnd(*R, [&] {
                        // VELTRAC_FAULT_REOPEN=close-open presses Close first.
                        const char* How = std::getenv("VELTRAC_FAULT_REOPEN");
                        if (How && std::string(How) == "close-open")
                            R->Session->Close();
                        R->Session->Open();
                    });
                }
        }
        WaitFor(AllEnded, TimeoutMs + 10000);
        for (auto& R : Wave) {
            Step(*R, 0);
            ++Row.Runs;
            Row.Retries += R->Retries();
            if (R->Completed && R->Intact && R->Failure.empty() && (!HangsUp(Fault) || R->ClearMessage))
                ++Row.Completed;
            // Lost: the receiver was programmed with anything but the image sent.
            if (R->Programmings() > 0 &&
                (R->ReceiverImage() != R->ExpectedImage() || R->ReceiverVersion() != R->ExpectedVersion()))
                ++Row.Lost;
            EXPECT_TRUE(R->Failure.empty()) << R->Failure;
            for (const std::string& E : R->Errors)
                ADD_FAILURE() << "error box: " << E << " (" << R->Describe() << ")";
        }
        // Sessions close their ports before the devices go.
        for (auto& R : Wave)
            R->Session.reset();
    }
    Row.Seconds = Total.elapsed() / 1000.0;
    std::printf("%-13s %-30s runs %3d  completed %3d  retries seen %5d  nothing lost %s  (%.0f s)\n",
                Row.Device.c_str(), Row.Fault.c_str(), Row.Runs, Row.Completed, Row.Retries,
                Row.Lost == 0 ? "yes" : "NO", Row.Seconds);
    Table.push_back(Row);
    EXPECT_EQ(Row.Completed, Row.Runs);
    EXPECT_EQ(Row.Lost, 0);
    // A hang-up is the run's outcome, not an error box.
    for (const std::string& E : FReported)
        ADD_FAILURE() << "exception reached the application's handler: " << E;
}

std::vector<std::tuple<bool, TFault>> Rows()
{
    std::vector<std::tuple<bool, TFault>> R;
    for (bool Unit : {true, false}) {
        for (TFault F : {TFault::Clean, TFault::DropReplies, TFault::RefuseWrites, TFault::CorruptToDevice,
                         TFault::CorruptToTool, TFault::LateReplies, TFault::HangUp, TFault::SlowOldAnswer})
            R.emplace_back(Unit, F);
        // The unit answers its version question with the old one while it programs; the module's
        // other ends of a transfer have no counterpart on the unit.
        if (!Unit)
            for (TFault F : {TFault::SlowSilent, TFault::Status02After, TFault::NeverConfirms})
                R.emplace_back(Unit, F);
        R.emplace_back(Unit, TFault::CustomImage);
        R.emplace_back(Unit, TFault::Recovery);
        // A unit's logger status shows its programming ran and ended: the tool need not know the version.
        if (Unit)
            for (TFault F : {TFault::CustomSameVersion, TFault::HangUpProgramming, TFault::FoundProgramming})
                R.emplace_back(Unit, F);
    }
    return R;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(Rows()), [](const auto& Info) {
    std::string N = std::string(std::get<0>(Info.param) ? "Veltrac_" : "ExternalGPS_") +
                    FaultName(std::get<1>(Info.param));
    for (char& C : N)
        if (!isalnum(static_cast<unsigned char>(C)))
            C = '_';
    return N;
});

// The table of every row run in this process.
class TablePrinter : public ::testing::Environment
{
  public:
    void TearDown() override
    {
        if (Table.empty())
            return;
        std::printf("\n%-13s | %-30s | %4s | %9s | %12s | %12s\n", "device", "fault", "runs", "completed",
                    "retries seen", "nothing lost");
        for (const TRow& R : Table)
            std::printf("%-13s | %-30s | %4d | %9d | %12d | %12s\n", R.Device.c_str(), R.Fault.c_str(),
                        R.Runs, R.Completed, R.Retries, R.Lost == 0 ? "yes" : "NO");
    }
};
const auto* const Printer = ::testing::AddGlobalTestEnvironment(new TablePrinter);
