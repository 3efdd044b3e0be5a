#include "LinkTest.h"

#include "link/CorvexFrames.h"
#include "serial/PosixSerial.h"
#include "util/MyConvert.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

std::string Bytes(const std::string& HexText)
{
    return HexToBytes(HexText, true);
}

std::string Hex(const std::string& Raw)
{
    return BytesToHex(Raw, true);
}

std::string UnitFrame(TCX_ConfigType Mode, uint8_t CmdID, const std::string& Payload)
{
    std::string F = CX_BuildFrame(Mode, CmdID, Payload);
    if (Mode != cxctCore2)
        F[1] = static_cast<char>(CX_UnitAddress); // the address is neither escaped nor summed
    return F;
}

std::string ShortUnitInfo()
{
    return Bytes("00 30 39 01 02 02 1F 05 2D 01 00 64");
}

TUnitPeer::TUnitPeer(int ComNumber) : FComNumber(ComNumber)
{
    Clock.start();
    char Dir[] = "/tmp/veltrac-link-XXXXXX";
    if (!mkdtemp(Dir))
        throw std::runtime_error("no temp dir");
    FDir = Dir;
    PlugIn();
    setenv("VELTRAC_COM_DIR", FDir.c_str(), 1);
}

void TUnitPeer::PlugIn()
{
    FMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
        throw std::runtime_error("no pty");
    char Name[128];
    if (ptsname_r(FMaster, Name, sizeof Name) != 0)
        throw std::runtime_error("no pty name");
    FKeeper = open(Name, O_RDWR | O_NOCTTY);
    termios T{};
    tcgetattr(FKeeper, &T);
    cfmakeraw(&T);
    tcsetattr(FKeeper, TCSANOW, &T);
    fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    const std::string Link = FDir + "/com" + std::to_string(FComNumber);
    unlink(Link.c_str());
    if (symlink(Name, Link.c_str()) != 0)
        throw std::runtime_error("no link");
}

void TUnitPeer::HangUp()
{
    close(FKeeper);
    close(FMaster);
    FKeeper = FMaster = -1;
}

void TUnitPeer::Replug()
{
    if (FMaster >= 0)
        HangUp();
    PlugIn();
}

TUnitPeer::~TUnitPeer()
{
    unsetenv("VELTRAC_COM_DIR");
    for (const char* Entry :
         {"/com1", "/com2", "/com3", "/com4", "/com5", "/com6", "/com7", "/com8", "/com9"})
        unlink((FDir + Entry).c_str());
    rmdir(FDir.c_str());
    close(FKeeper);
    close(FMaster);
}

std::string TUnitPeer::Poll()
{
    std::string New;
    char Buf[4096];
    for (;;) {
        const ssize_t N = read(FMaster, Buf, sizeof Buf);
        if (N <= 0)
            break;
        New.append(Buf, static_cast<std::size_t>(N));
    }
    Received += New;
    FPending += New;
    for (std::size_t End; (End = FPending.find("_CONFIGB\r")) != std::string::npos;) {
        WakeUps.push_back({Clock.elapsed(), FPending.substr(0, End + 9)});
        FPending.erase(0, End + 9);
    }
    return New;
}

void TUnitPeer::Write(const std::string& Data)
{
    std::size_t Done = 0;
    while (Done < Data.size()) {
        const ssize_t N = write(FMaster, Data.data() + Done, Data.size() - Done);
        if (N < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error("pty write failed");
        if (N > 0)
            Done += static_cast<std::size_t>(N);
    }
}

uint32_t TUnitPeer::Speed() const
{
    uint32_t In = 0, Out = 0;
    PosixGetRate(FMaster, In, Out); // the master reports the slave's settings
    return Out;
}
