#include "CliTest.h"
#include "app/UpdateSession.h"
#include "tests/common/TestStore.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

devsim::UnitConfig QuickUnit()
{
    devsim::UnitConfig C;
    C.ProgrammingMs = 300;
    C.AnswerWhileProgramming = devsim::BusyAnswer::Empty;
    C.WrongRateGarbage = false;
    C.LoggerIntervalMs = 50;
    C.GpsIntervalMs = 100;
    C.RestartMs = 100;
    return C;
}

devsim::ModuleConfig QuickModule()
{
    devsim::ModuleConfig C;
    C.ProgrammingMs = 100;
    // Back to 9600 right after the last status.
    C.AnswerWhileProgramming = devsim::BusyAnswer::Empty;
    C.LastAckWaitMs = 0;
    C.WrongRateGarbage = false;
    C.DotIntervalMs = 10;
    C.RestartMs = 100;
    return C;
}

const TArchive& Archive()
{
    static const TArchive A = [] {
        TUpdateSession S(TestStore());
        TArchive R;
        for (const std::string& Name : S.Images().ReceiverImages())
            if (Name.find(",MC-GG,") != std::string::npos)
                R.Required = Name.substr(0, Name.size() - 4);
        if (!R.Required.empty() && S.Images().LoadArchiveImage(R.Required + ".bin"))
            R.Image = *S.Image();
        R.Package = S.Images().Archive();
        R.Label = S.ArchiveLabel();
        return R;
    }();
    return A;
}

TTempDir::TTempDir()
{
    char Template[] = "/tmp/veltrac-cli-test-XXXXXX";
    if (!mkdtemp(Template))
        throw std::runtime_error("mkdtemp failed");
    Path = Template;
}

TTempDir::~TTempDir()
{
    std::error_code Ignored;
    fs::remove_all(Path, Ignored);
}

std::string TTempDir::File(const std::string& Name, const std::string& Data) const
{
    const std::string P = Path + "/" + Name;
    std::ofstream(P, std::ios::binary).write(Data.data(), static_cast<std::streamsize>(Data.size()));
    return P;
}

std::string ReadFile(const std::string& Path)
{
    std::ifstream F(Path, std::ios::binary);
    std::ostringstream S;
    S << F.rdbuf();
    return S.str();
}

TCliProcess::TCliProcess(const std::vector<std::string>& Arguments, const std::string& ComDir,
                         rlim_t FileSizeLimit)
{
    const std::string OutPath = FDir.Path + "/stdout";
    const std::string ErrPath = FDir.Path + "/stderr";
    std::vector<std::string> Argv{VELTRAC_CLI_EXE};
    Argv.insert(Argv.end(), Arguments.begin(), Arguments.end());
    std::vector<char*> Raw;
    for (std::string& A : Argv)
        Raw.push_back(A.data());
    Raw.push_back(nullptr);
    // The environment is made here: after fork only async-signal-safe calls
    // are allowed, and the test process has threads (devices, ports).
    std::vector<std::string> Env;
    for (char** E = environ; *E; ++E)
        if (!std::string(*E).starts_with("VELTRAC_COM_DIR="))
            Env.push_back(*E);
    if (!ComDir.empty())
        Env.push_back("VELTRAC_COM_DIR=" + ComDir);
    std::vector<char*> RawEnv;
    for (std::string& E : Env)
        RawEnv.push_back(E.data());
    RawEnv.push_back(nullptr);

    FPid = fork();
    if (FPid < 0)
        throw std::runtime_error("fork failed");
    if (FPid == 0) {
        // Only async-signal-safe calls from here on, then exec.
        const int Out = open(OutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int Err = open(ErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int In = open("/dev/null", O_RDONLY);
        if (Out < 0 || Err < 0 || In < 0)
            _exit(126);
        dup2(In, 0);
        dup2(Out, 1);
        dup2(Err, 2);
        // The gtest run may have blocked or ignored signals; the child starts clean.
        sigset_t None;
        sigemptyset(&None);
        sigprocmask(SIG_SETMASK, &None, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        if (FileSizeLimit > 0) {
            signal(SIGXFSZ, SIG_IGN);
            const struct rlimit Limit {
                FileSizeLimit, FileSizeLimit
            };
            setrlimit(RLIMIT_FSIZE, &Limit);
        }
        execve(Raw[0], Raw.data(), RawEnv.data());
        _exit(127);
    }
}

TCliProcess::~TCliProcess()
{
    if (FPid > 0 && !FReaped) {
        kill(FPid, SIGKILL);
        waitpid(FPid, &FStatus, 0);
    }
}

void TCliProcess::Signal(int Number)
{
    if (FPid > 0 && !FReaped)
        kill(FPid, Number);
}

std::string TCliProcess::OutSoFar() const
{
    return ReadFile(FDir.Path + "/stdout");
}

TCliResult TCliProcess::Wait(int TimeoutMs)
{
    TCliResult R;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!FReaped) {
        const pid_t P = waitpid(FPid, &FStatus, WNOHANG);
        if (P == FPid) {
            FReaped = true;
            break;
        }
        if (std::chrono::steady_clock::now() > Deadline) {
            kill(FPid, SIGKILL);
            waitpid(FPid, &FStatus, 0);
            FReaped = true;
            R.Out = OutSoFar();
            R.Err = ReadFile(FDir.Path + "/stderr");
            return R;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    R.Finished = WIFEXITED(FStatus);
    R.ExitCode = WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : -WTERMSIG(FStatus);
    R.Out = OutSoFar();
    R.Err = ReadFile(FDir.Path + "/stderr");
    return R;
}

TCliResult RunCli(const std::vector<std::string>& Arguments, const std::string& ComDir, int TimeoutMs)
{
    TCliProcess P(Arguments, ComDir);
    return P.Wait(TimeoutMs);
}

std::vector<std::string> Lines(const std::string& Text)
{
    std::vector<std::string> Out;
    std::istringstream S(Text);
    std::string L;
    while (std::getline(S, L))
        Out.push_back(L);
    return Out;
}

std::vector<QJsonObject> JsonLines(const std::string& Out)
{
    std::vector<QJsonObject> Objects;
    for (const std::string& L : Lines(Out)) {
        QJsonParseError Error;
        const QJsonDocument Doc = QJsonDocument::fromJson(QByteArray::fromStdString(L), &Error);
        EXPECT_TRUE(Error.error == QJsonParseError::NoError && Doc.isObject()) << "not a JSON object: " << L;
        if (Doc.isObject())
            Objects.push_back(Doc.object());
    }
    return Objects;
}

TSilentPty::TSilentPty()
{
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
        throw std::runtime_error("no pty");
    char Name[128];
    if (ptsname_r(FMaster, Name, sizeof Name) != 0)
        throw std::runtime_error("no pty name");
    FSlave = Name;
}

TSilentPty::~TSilentPty()
{
    if (FMaster >= 0)
        close(FMaster);
}
