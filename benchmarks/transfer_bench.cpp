// Transfer efficiency: complete receiver updates of the largest receiver image
// the tool carries, through the update session, against simulated devices that
// pace every byte at the real line rate (9600 bit/s, 57600 after the speed
// switch). Beside each transfer time stands the wire-time lower bound: every
// byte that crossed the line during the transfer, both ways, at 10 bit times
// of the rate it crossed at. The ratio bound / actual says how much of the
// line the tool used; the tracking unit's transfer does not count the first
// 750 ms tick of the record timer, which the tool waits before the first record.
// Each transfer runs once straight on the line and once behind each adapter
// latency asked for (devsim's adapter model: bytes to the tool held up to the
// latency timer, 16 ms an FTDI chip's default, 1 ms in low-latency mode).
//
//   transfer_bench [veltrac|egps|both] [--image NAME] [--adapter-latency MS[,MS...]]
//   (default latencies: 0,16,1; 0 = no adapter)
#include "app/UpdateSession.h"
#include "serial/AppException.h"
#include "tools/devsim/GpsModule.h"
#include "tools/devsim/VeltracUnit.h"
#include "util/MyFunctions.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr int RecordTickMs = 750;

template <typename... A> std::string Printf(const char* Pattern, A... Args)
{
    char Buf[256];
    std::snprintf(Buf, sizeof Buf, Pattern, Args...);
    return Buf;
}
constexpr int TimeLimitMs = 1800 * 1000;

struct TWindow {
    // Bytes that crossed the line while the device ran at each rate.
    std::map<unsigned, uint64_t> ToDevice, ToTool;
    uint64_t LastIn = 0, LastOut = 0;
    bool Open = false;
    qint64 StartMs = 0, EndMs = 0;

    void Sample(const devsim::LineCounters& L, unsigned Rate)
    {
        if (Open) {
            ToDevice[Rate] += L.BytesIn - LastIn;
            ToTool[Rate] += L.BytesOut - LastOut;
        }
        LastIn = L.BytesIn;
        LastOut = L.BytesOut;
    }
    double BoundSeconds() const
    {
        double S = 0;
        for (const auto& [Rate, N] : ToDevice)
            S += 10.0 * static_cast<double>(N) / Rate;
        for (const auto& [Rate, N] : ToTool)
            S += 10.0 * static_cast<double>(N) / Rate;
        return S;
    }
    std::string Bytes() const
    {
        std::string T;
        for (const auto& [Rate, N] : ToDevice)
            T += Printf("%llu to the device at %u, ", static_cast<unsigned long long>(N), Rate);
        for (const auto& [Rate, N] : ToTool)
            T += Printf("%llu to the tool at %u, ", static_cast<unsigned long long>(N), Rate);
        return T.empty() ? T : T.substr(0, T.size() - 2);
    }
};

std::string FieldTwo(const std::string& Version)
{
    return GetToken(Version, 2, ',');
}

// The largest "AXN" receiver image the session carries, or the one named.
std::string ChooseImage(TUpdateSession& S, const std::string& Wanted, std::string& Bytes)
{
    std::string Best;
    Bytes.clear();
    for (const std::string& Name : S.Images().ReceiverImages()) {
        if (!Wanted.empty() ? Name != Wanted : !Name.starts_with("AXN"))
            continue;
        if (S.Images().LoadArchiveImage(Name) && S.Image()->size() > Bytes.size()) {
            Bytes = *S.Image();
            Best = Name;
        }
    }
    return Best;
}

bool RunOne(bool Unit, const std::string& WantedImage, const QString& ComDir, int AdapterMs)
{
    std::vector<std::string> Problems;
    SetApplicationExceptionHandler([&](const std::exception& E) { Problems.push_back(E.what()); });
    // Opened once for every run, as a command opens it once for its ports.
    static const TFirmwareStore Store;
    auto S = std::make_unique<TUpdateSession>(Store);
    S->OnShowError = [&](TUpdateSession*, const std::string& M) { Problems.push_back(M); };
    std::string Expected;
    const std::string Image = ChooseImage(*S, WantedImage, Expected);
    const size_t ImageSize = Expected.size();
    if (Image.empty()) {
        std::fprintf(stderr, "transfer_bench: no receiver image%s%s in the package\n",
                     WantedImage.empty() ? "" : " named ", WantedImage.c_str());
        return false;
    }
    const std::string Version = Image.substr(0, Image.size() - 4);
    // A receiver of the same type on an older version: the tool picks this image.
    const std::string Old = "AXN_1.0_0000_00000000,0000," + FieldTwo(Version) + ",0.0";

    std::unique_ptr<devsim::VeltracUnit> UnitDevice;
    std::unique_ptr<devsim::GpsModule> ModuleDevice;
    // The quick end of a transfer the session is built for: the devices' earlier
    // programming times, an empty answer while programming, the module back to
    // 9600 right after the last status, bytes at a wrong rate lost.
    if (Unit) {
        devsim::UnitConfig C;
        C.ReceiverVersion = Old;
        C.ProgrammingMs = 2000;
        C.AnswerWhileProgramming = devsim::BusyAnswer::Empty;
        C.WrongRateGarbage = false;
        UnitDevice = std::make_unique<devsim::VeltracUnit>(C);
    } else {
        devsim::ModuleConfig C;
        C.ReceiverVersion = Old;
        C.ProgrammingMs = 500;
        C.AnswerWhileProgramming = devsim::BusyAnswer::Empty;
        C.LastAckWaitMs = 0;
        C.WrongRateGarbage = false;
        ModuleDevice = std::make_unique<devsim::GpsModule>(C);
    }
    devsim::SimDevice& D = Unit ? static_cast<devsim::SimDevice&>(*UnitDevice) : *ModuleDevice;
    devsim::Faults F;
    F.Pace = true;
    D.SetFaults(F);
    devsim::Adapter A;
    A.LatencyMs = AdapterMs;
    D.SetAdapter(A);
    std::string Error;
    if (!D.Ok() || !D.PlugAs(5, ComDir.toStdString(), &Error)) {
        std::fprintf(stderr, "transfer_bench: no simulated device: %s %s\n", D.Error().c_str(),
                     Error.c_str());
        return false;
    }

    const std::string Line =
        AdapterMs > 0 ? Printf("adapter latency %d ms", AdapterMs) : std::string("no adapter");
    std::printf("\n%s, image %s (%zu bytes), paced at the line rate, %s\n",
                Unit ? "Veltrac unit" : "External GPS module", Image.c_str(), ImageSize, Line.c_str());
    S->SetDeviceType(Unit ? dtVeltrac : dtExternalGPS);
    S->SetComNumber(5);
    QElapsedTimer Clock;
    Clock.start();
    S->Open();

    // Veltrac: from the start of the transfer (state 1) to the last record
    // acknowledged (state 3). Module: from the first block (state 3) to the
    // status of the last one, after which the session identifies the module again.
    TWindow W;
    uint8_t LastState = 0;
    int Records = 0, Blocks = 0;
    qint64 ConfirmedMs = 0;
    while (Clock.elapsed() < TimeLimitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        const uint8_t State = static_cast<uint8_t>(S->UpdateState());
        const qint64 Now = Clock.elapsed();
        W.Sample(D.Line(), D.DeviceRate());
        if (State != LastState) {
            if (Unit && State == 1 && !W.Open) {
                W.Open = true;
                W.StartMs = Now;
                Records = S->Display().pSendProgress.Maximum;
            } else if (Unit && State == 3 && W.Open && !W.EndMs) {
                W.EndMs = Now;
                W.Open = false;
            } else if (!Unit && State == 3 && !W.Open && !W.EndMs) {
                W.Open = true;
                W.StartMs = Now;
                Blocks = S->Display().pUpdateProgress.Maximum;
            } else if (!Unit && LastState == 3 && W.Open) {
                W.EndMs = Now;
                W.Open = false;
            }
            LastState = State;
        }
        const TUpdateDisplay& Dsp = S->Display();
        if (State == 4) {
            if (Dsp.vGPSCurrent == Dsp.vGPSNeeded && !Dsp.vGPSNeeded.empty())
                ConfirmedMs = Now;
            break;
        }
        QThread::usleep(500);
    }
    const std::string Now = Unit ? UnitDevice->ReceiverImage() : ModuleDevice->ReceiverImage();
    const bool Intact = ConfirmedMs > 0 && Now == Expected;
    for (const std::string& P : Problems)
        std::printf("  reported: %s\n", P.c_str());
    if (!Intact || !W.EndMs) {
        std::printf("  the update did not complete (state %d, current \"%s\", needed \"%s\")\n",
                    static_cast<int>(S->UpdateState()), S->Display().vGPSCurrent.c_str(),
                    S->Display().vGPSNeeded.c_str());
        S.reset();
        SetApplicationExceptionHandler({});
        return false;
    }

    const double Actual = (W.EndMs - W.StartMs - (Unit ? RecordTickMs : 0)) / 1000.0;
    const double Bound = W.BoundSeconds();
    std::printf("  %s: %d\n", Unit ? "EEPROM records" : "module blocks", Unit ? Records : Blocks);
    std::printf("  bytes during the transfer: %s\n", W.Bytes().c_str());
    std::printf("  transfer %.2f s%s, wire-time lower bound %.2f s, bound/actual %.3f\n", Actual,
                Unit ? " (after the first 750 ms record tick)" : "", Bound, Bound / Actual);
    std::printf("  Open to confirmed version: %.1f s (receiver programming included)\n",
                ConfirmedMs / 1000.0);
    std::printf("RESULT transfer %s, %s: %.1f s for %zu bytes, bound %.1f s, bound/actual %.3f\n",
                Unit ? "Veltrac" : "External GPS", Line.c_str(), Actual, ImageSize, Bound, Bound / Actual);
    S.reset();
    SetApplicationExceptionHandler({});
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication App(argc, argv);
    std::string Which = "both", Image;
    std::vector<int> Latencies{0, 16, 1};
    for (int i = 1; i < argc; ++i) {
        const std::string A = argv[i];
        if (A == "--image" && i + 1 < argc) {
            Image = argv[++i];
        } else if (A == "--adapter-latency" && i + 1 < argc) {
            Latencies.clear();
            for (const QString& Q : QString(argv[++i]).split(',')) {
                bool Ok = false;
                const int Ms = Q.toInt(&Ok);
                if (!Ok || Ms < 0 || Ms > 255) {
                    std::fprintf(stderr, "transfer_bench: bad latency '%s' (0 to 255 ms)\n",
                                 Q.toLocal8Bit().constData());
                    return 2;
                }
                Latencies.push_back(Ms);
            }
        } else if (A == "veltrac" || A == "egps" || A == "both") {
            Which = A;
        } else {
            std::fprintf(stderr, "usage: transfer_bench [veltrac|egps|both] [--image NAME] "
                                 "[--adapter-latency MS[,MS...]]\n");
            return 2;
        }
    }
    QTemporaryDir Dir;
    qputenv("VELTRAC_COM_DIR", Dir.path().toLocal8Bit());
    std::printf(
        "transfer_bench: receiver transfers through the update session, devsim pacing at 9600/57600 bit/s\n");
    bool Ok = true;
    for (const int Ms : Latencies) {
        if (Which != "egps")
            Ok = RunOne(true, Image, Dir.path(), Ms) && Ok;
        if (Which != "veltrac")
            Ok = RunOne(false, Image, Dir.path(), Ms) && Ok;
    }
    return Ok ? 0 : 1;
}
