// The update session's External GPS module receiver and frame handler: any
// bytes from the module, in any order with the session's own questions and
// retry ticks, leave the session in a state its front ends can show. The
// session carries no firmware here, so it comes up fast for every input. Its
// module port is open on a real pty, so what it writes goes out as it would;
// the module's bytes are handed to the module link directly (their arrival
// through the port needs the event loop, which the fault tests run).
#include "FuzzSupport.h"
#include "app/UpdateSession.h"
#include "link/ModuleFrames.h"
#include "serial/AppException.h"
#include "tests/common/TestStore.h"

#include <QCoreApplication>
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr int ModulePort = 7;
int Master = -1;

// What the session wrote is not looked at; the pty must not fill up.
void Drain()
{
    char Buf[4096];
    while (read(Master, Buf, sizeof Buf) > 0) {
    }
}

// As the event loop's entry does: an exception from a handler is reported.
template <typename F> void Entry(F&& Body)
{
    try {
        Body();
    } catch (...) {
        ApplicationHandleCurrentException();
    }
    Drain();
}

void CheckDisplay(const TUpdateSession& S)
{
    const TUpdateDisplay& D = S.Display();
    FUZZ_CHECK(static_cast<int>(S.UpdateState()) <= 6 && D.UpdateState == S.UpdateState());
    for (const TProgressBarState* B : {&D.pSendProgress, &D.pUpdateProgress})
        FUZZ_CHECK(B->Maximum >= 0 && B->Position >= 0 && B->Position <= B->Maximum);
    FUZZ_CHECK(D.DeviceType == dtVeltrac || D.DeviceType == dtExternalGPS);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication App(*argc, *argv);
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    FUZZ_CHECK(Master >= 0 && grantpt(Master) == 0 && unlockpt(Master) == 0);
    char Dir[] = "/tmp/veltrac-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(Dir) != nullptr);
    const std::string Link = std::string(Dir) + "/com" + std::to_string(ModulePort);
    FUZZ_CHECK(symlink(ptsname(Master), Link.c_str()) == 0);
    setenv("VELTRAC_COM_DIR", Dir, 1);
    SetApplicationExceptionHandler([](const std::exception& E) {
        // Index and length errors are faults of the session's own text handling.
        if (dynamic_cast<const std::out_of_range*>(&E) || dynamic_cast<const std::length_error*>(&E)) {
            std::fprintf(stderr, "unexpected exception: %s\n", E.what());
            __builtin_trap();
        }
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzedDataProvider P(Data, Size);
    TUpdateSession S(TestStore(),
                     P.ConsumeBool() ? std::vector<std::string>{"/MANUAL"} : std::vector<std::string>{});
    S.SetComNumber(ModulePort);
    S.SetDeviceType(dtExternalGPS);
    Entry([&] { S.Open(); });
    FUZZ_CHECK(S.ModuleProcedure().Port().Active());
    while (P.remaining_bytes() > 0) {
        switch (P.ConsumeIntegralInRange<int>(0, 7)) {
        case 4:
            Entry([&] { S.ModuleProcedure().TimerE3Timer(); });
            break;
        case 5:
            Entry([&] { S.ModuleProcedure().SendModuleIdentify(); });
            break;
        case 6:
            Entry([&] { S.ModuleProcedure().SendToGPS("Q"); });
            break;
        case 7: {
            const std::string Content = P.ConsumeBytesAsString(P.ConsumeIntegralInRange<size_t>(0, 64));
            Entry([&] { S.ModuleProcedure().Received(EscapeModuleFrame(Content)); });
            break;
        }
        default: {
            const std::string Bytes = P.ConsumeBytesAsString(P.ConsumeIntegralInRange<size_t>(1, 128));
            Entry([&] { S.ModuleProcedure().Received(Bytes); });
        }
        }
        CheckDisplay(S);
    }
    return 0;
}
