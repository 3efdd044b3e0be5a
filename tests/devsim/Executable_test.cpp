// veltrac-devsim as a person runs it: plugged in as a COM port, talked to, ended with Ctrl-C.
#include "DevsimTest.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

struct Child {
    pid_t Pid = -1;
    int Out = -1;
    std::string Output;

    explicit Child(const std::vector<std::string>& Args)
    {
        // Built before fork: the child of a threaded process must not allocate.
        std::vector<char*> Argv{const_cast<char*>(DEVSIM_EXE)};
        for (const auto& A : Args)
            Argv.push_back(const_cast<char*>(A.c_str()));
        Argv.push_back(nullptr);
        int P[2];
        if (::pipe(P) != 0)
            return;
        Pid = ::fork();
        if (Pid == 0) {
            ::dup2(P[1], 1);
            ::dup2(P[1], 2);
            ::close(P[0]);
            ::execv(DEVSIM_EXE, Argv.data());
            ::_exit(127);
        }
        ::close(P[1]);
        Out = P[0];
        ::fcntl(Out, F_SETFL, O_NONBLOCK);
    }
    ~Child()
    {
        if (Pid > 0) {
            ::kill(Pid, SIGKILL);
            ::waitpid(Pid, nullptr, 0);
        }
        if (Out >= 0)
            ::close(Out);
    }
    void Drain(int Ms)
    {
        pollfd F{Out, POLLIN, 0};
        if (::poll(&F, 1, Ms) > 0) {
            char B[4096];
            ssize_t N;
            while ((N = ::read(Out, B, sizeof B)) > 0)
                Output.append(B, static_cast<std::size_t>(N));
        }
    }
    // True once Text has been printed; false when it was not within TimeoutMs.
    bool Await(const std::string& Text, int TimeoutMs = 10000)
    {
        const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
        while (Output.find(Text) == std::string::npos && std::chrono::steady_clock::now() < End)
            Drain(10);
        return Output.find(Text) != std::string::npos;
    }
    // Exit status, or -1 when it did not end within TimeoutMs.
    int Wait(int TimeoutMs)
    {
        const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
        while (std::chrono::steady_clock::now() < End) {
            Drain(20);
            int Status = 0;
            if (::waitpid(Pid, &Status, WNOHANG) == Pid) {
                Pid = -1;
                Drain(0);
                return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
            }
        }
        return -1;
    }
};

bool Exists(const std::string& Path)
{
    struct stat St {
    };
    return ::lstat(Path.c_str(), &St) == 0;
}

// The unit ID in the unit information the unit answers a wake-up with; -1
// when none came within TimeoutMs. Earlier frames in the buffer are skipped.
int WakeUnit(ToolPort& Port, int TimeoutMs = 10000)
{
    const std::size_t Had = FramesOf(Port.Buffer, 0x0B).size();
    Port.Write("_CONFIGB\r");
    if (!Port.ReadUntil([&](const std::string& B) { return FramesOf(B, 0x0B).size() > Had; }, TimeoutMs))
        return -1;
    const std::string Info = FramesOf(Port.Buffer, 0x0B)[Had].Payload;
    if (Info.size() < 4)
        return -1;
    return (static_cast<uint8_t>(Info[1]) << 16) | (static_cast<uint8_t>(Info[2]) << 8) |
           static_cast<uint8_t>(Info[3]);
}

// The module ID its identify answer carries, as hex bytes; "" when none came.
std::string IdentifyModule(ToolPort& Port, int TimeoutMs = 10000)
{
    const std::size_t Had = ParseModuleFrames(Port.Buffer).size();
    Port.Write(Bytes({0x3C, 0x00, 0x2C, 0x01, 0x1D, 0x4A, 0x3E}));
    if (!Port.ReadUntil([&](const std::string& B) { return ParseModuleFrames(B).size() > Had; }, TimeoutMs))
        return "";
    return Hex(ParseModuleFrames(Port.Buffer)[Had].Payload.substr(0, 4));
}

// The summary block that follows Head in Output, up to the next empty line.
std::string BlockAfter(const std::string& Output, const std::string& Head)
{
    const auto At = Output.find("\n" + Head + "\n");
    if (At == std::string::npos)
        return "";
    const auto From = At + Head.size() + 2;
    return Output.substr(From, Output.find("\n\n", From) - From + 1);
}

} // namespace

TEST(Executable, PlugsInAsComNAnswersAndEndsCleanlyOnCtrlC)
{
    TempFolder Dir;
    Child R({"egps", "--com", "7", "--com-dir", Dir.Path(), "--module-version", "1.99"});
    const std::string Link = Dir.Path() + "/com7";
    for (int i = 0; i < 500 && !Exists(Link); ++i)
        R.Drain(10);
    ASSERT_TRUE(Exists(Link)) << R.Output;
    {
        ToolPort Port(Link);
        ASSERT_TRUE(Port.Ok());
        Port.Write(ModuleCommand(0x01, "\x1D"));
        ASSERT_TRUE(
            Port.ReadUntil([](const std::string& B) { return !ParseModuleFrames(B).empty(); }, 10000));
        EXPECT_EQ(Hex(ParseModuleFrames(Port.Buffer)[0].Payload.substr(4, 2)), "01 63");
    }
    // The close is seen first: a Ctrl-C before it would end the device before it noticed.
    for (int i = 0; i < 1000 && R.Output.find("the tool closed the port") == std::string::npos; ++i)
        R.Drain(10);
    ::kill(R.Pid, SIGINT);
    EXPECT_EQ(R.Wait(10000), 0) << R.Output;
    EXPECT_FALSE(Exists(Link)) << "the link goes with the device";
    EXPECT_NE(R.Output.find("COM 7 = " + Link), std::string::npos) << R.Output;
    EXPECT_NE(R.Output.find("the tool closed the port"), std::string::npos)
        << "events are printed as they happen";
    EXPECT_NE(R.Output.find("controller 1.99"), std::string::npos) << "the summary at exit";
    EXPECT_NE(R.Output.find("wrong rate: 0 bytes in (0 garbage), 0 out (0 garbage)"), std::string::npos)
        << R.Output;
}

// --count: one process, several devices, each on its own COM number and pty
// with its own identity; --on aims a fault at one of them.
TEST(Executable, SeveralDevicesOnConsecutiveComNumbers)
{
    TempFolder Dir;
    Child R({"veltrac", "--com", "7", "--count", "3", "--com-dir", Dir.Path(), "--id", "500", "--on", "2",
             "--drop", "wakeup"});
    const auto Link = [&](int Com) { return Dir.Path() + "/com" + std::to_string(Com); };
    for (int i = 0; i < 500 && !Exists(Link(9)); ++i)
        R.Drain(10);
    std::vector<std::string> Ptys;
    for (int Com = 7; Com <= 9; ++Com) {
        ASSERT_TRUE(Exists(Link(Com))) << R.Output;
        Ptys.push_back(std::filesystem::read_symlink(Link(Com)));
    }
    EXPECT_TRUE(Ptys[0] != Ptys[1] && Ptys[1] != Ptys[2] && Ptys[0] != Ptys[2]) << R.Output;
    for (int Com = 7; Com <= 9; ++Com) {
        ToolPort Port(Link(Com));
        ASSERT_TRUE(Port.Ok());
        if (Com == 8) {
            // Its first wake-up is dropped, and its own log says so.
            Port.Write("_CONFIGB\r");
            ASSERT_TRUE(R.Await("(named drop)")) << R.Output;
            const auto Drop = R.Output.find("(named drop)");
            EXPECT_EQ(R.Output.substr(R.Output.rfind('\n', Drop) + 1, 7), "COM 8: ") << R.Output;
        }
        EXPECT_EQ(WakeUnit(Port), 500 + Com - 7) << Com << "\n" << R.Output;
    }
    auto Count = [&](const std::string& Text) {
        std::size_t N = 0;
        for (auto At = R.Output.find(Text); At != std::string::npos; At = R.Output.find(Text, At + 1))
            ++N;
        return N;
    };
    for (int i = 0; i < 1000 && Count("the tool closed the port") < 3; ++i)
        R.Drain(10);
    ::kill(R.Pid, SIGINT);
    EXPECT_EQ(R.Wait(10000), 0) << R.Output;
    for (int Com = 7; Com <= 9; ++Com)
        EXPECT_FALSE(Exists(Link(Com)));
    // One summary block per device, in COM order, each with its own line counts.
    const auto Block = [&](int Com) {
        const auto At = R.Output.find("\nCOM " + std::to_string(Com) + ":\n");
        if (At == std::string::npos)
            return std::string();
        return R.Output.substr(At + 1, R.Output.find("\nCOM ", At + 1) - At);
    };
    for (int Com = 7; Com <= 9; ++Com) {
        const std::string B = Block(Com);
        EXPECT_NE(B.find("EEPROM writes 0"), std::string::npos) << Com << ":\n" << R.Output;
        EXPECT_NE(B.find(Com == 8 ? "line: 18 bytes in" : "line: 9 bytes in"), std::string::npos) << B;
        EXPECT_NE(B.find("1 port closes, 0 hang-ups\nwrong rate: 0 bytes in"), std::string::npos) << B;
    }
    EXPECT_LT(R.Output.find("\nCOM 7:\n"), R.Output.find("\nCOM 8:\n"));
    EXPECT_LT(R.Output.find("\nCOM 8:\n"), R.Output.find("\nCOM 9:\n"));
}

// SIGUSR1: the adapter stays plugged in, only the device on its cable changes.
// The tool's port stays open throughout; the next device answers on it with
// the next ID, and the departed device's summary is printed as it leaves.
TEST(Executable, SigUsr1MovesTheCableToTheNextDevice)
{
    TempFolder Dir;
    const std::string Com7 = Dir.Path() + "/com7", Com8 = Dir.Path() + "/com8";
    {
        Child R({"veltrac", "--com", "7", "--com-dir", Dir.Path()});
        ASSERT_TRUE(R.Await("COM 7 = ")) << R.Output;
        const auto Pty = std::filesystem::read_symlink(Com7);
        ToolPort Port(Com7);
        ASSERT_TRUE(Port.Ok());
        EXPECT_EQ(WakeUnit(Port), 123456) << R.Output;
        ::kill(R.Pid, SIGUSR1);
        ASSERT_TRUE(R.Await("unit: cable moved to the next device: unit 123457\n")) << R.Output;
        EXPECT_FALSE(Port.HungUp()) << "the tool's port stays open";
        EXPECT_EQ(std::filesystem::read_symlink(Com7), Pty);
        EXPECT_EQ(WakeUnit(Port), 123457) << R.Output;
        Port.Close();
        ASSERT_TRUE(R.Await("the tool closed the port")) << R.Output;
        ::kill(R.Pid, SIGINT);
        EXPECT_EQ(R.Wait(10000), 0) << R.Output;

        // The departed unit's summary comes after the line that says it left,
        // with its own counts; the summary at exit is the next unit's.
        EXPECT_LT(R.Output.find("cable moved"), R.Output.find("\nunit 123456 (exchanged out):\n"))
            << R.Output;
        const std::string Gone = BlockAfter(R.Output, "unit 123456 (exchanged out):");
        EXPECT_EQ(Gone.substr(0, 13), "unit version ") << R.Output;
        EXPECT_NE(Gone.find("line: 9 bytes in, 45 out, 0 bad frames, 0 port closes, 0 hang-ups\n"),
                  std::string::npos)
            << Gone;
        const std::string Last = R.Output.substr(R.Output.rfind("\n\n") + 2);
        EXPECT_NE(Last.find("line: 9 bytes in, 45 out, 0 bad frames, 1 port closes, 0 hang-ups\n"),
                  std::string::npos)
            << Last;
    }
    {
        // Two modules: each moves on by the number of devices, and the lines say which COM they are on.
        Child R({"egps", "--com", "7", "--count", "2", "--com-dir", Dir.Path()});
        ASSERT_TRUE(R.Await("COM 8 = ")) << R.Output;
        ToolPort Port(Com8);
        ASSERT_TRUE(Port.Ok());
        EXPECT_EQ(IdentifyModule(Port), "00 C0 FF EF") << R.Output;
        ::kill(R.Pid, SIGUSR1);
        ASSERT_TRUE(R.Await("module: cable moved to the next device: module 00C0FFF1\n")) << R.Output;
        EXPECT_FALSE(Port.HungUp());
        EXPECT_EQ(IdentifyModule(Port), "00 C0 FF F1") << R.Output;
        ::kill(R.Pid, SIGINT);
        EXPECT_EQ(R.Wait(10000), 0) << R.Output;
        EXPECT_NE(R.Output.find("COM 7: "), std::string::npos);
        EXPECT_NE(R.Output.find("module: cable moved to the next device: module 00C0FFF0\n"),
                  std::string::npos);
        const std::string Gone = BlockAfter(R.Output, "COM 8: module 00C0FFEF (exchanged out):");
        EXPECT_EQ(Gone.substr(0, 11), "controller ") << R.Output;
        EXPECT_NE(Gone.find("line: 7 bytes in, 19 out"), std::string::npos) << Gone;
        EXPECT_NE(BlockAfter(R.Output, "COM 7: module 00C0FFEE (exchanged out):").find("line: 0 bytes in"),
                  std::string::npos)
            << R.Output;
    }
    {
        // The last unit ID has no next one: the cable stays, devsim says why and runs on.
        Child R({"veltrac", "--id", "16777215"});
        ASSERT_TRUE(R.Await("open /dev/")) << R.Output;
        ::kill(R.Pid, SIGUSR1);
        EXPECT_TRUE(R.Await("the cable stays: unit 16777215 + 1 is past the last unit ID, 16777215"))
            << R.Output;
        ::kill(R.Pid, SIGINT);
        EXPECT_EQ(R.Wait(10000), 0) << R.Output;
        EXPECT_EQ(R.Output.find("exchanged out"), std::string::npos);
    }
}

// --tty on a pty's slave: the device runs on a serial device it did not make,
// the test plays the tool on the master.
TEST(Executable, RunsOnASerialDeviceGivenByTty)
{
    const int Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char Name[128];
    ASSERT_TRUE(Master >= 0 && ::grantpt(Master) == 0 && ::unlockpt(Master) == 0 &&
                ::ptsname_r(Master, Name, sizeof Name) == 0);
    {
        Child R({"veltrac", "--tty", Name});
        for (int i = 0; i < 500 && R.Output.find("on " + std::string(Name)) == std::string::npos; ++i)
            R.Drain(10);
        ASSERT_NE(R.Output.find("null-modem"), std::string::npos) << R.Output;
        const std::string Wake = "_CONFIGB\r";
        ASSERT_EQ(::write(Master, Wake.data(), Wake.size()), static_cast<ssize_t>(Wake.size()));
        std::string Got;
        for (int i = 0; i < 1000 && !HasUnitFrame(Got, 0x0B); ++i) {
            pollfd P{Master, POLLIN, 0};
            char B[512];
            ssize_t N;
            if (::poll(&P, 1, 10) > 0 && (N = ::read(Master, B, sizeof B)) > 0)
                Got.append(B, static_cast<std::size_t>(N));
        }
        EXPECT_TRUE(HasUnitFrame(Got, 0x0B)) << Hex(Got);
        ::kill(R.Pid, SIGINT);
        EXPECT_EQ(R.Wait(10000), 0) << R.Output;
        EXPECT_NE(R.Output.find("EEPROM writes 0"), std::string::npos) << "the summary at exit";
    }
    ::close(Master);

    Child Missing({"veltrac", "--tty", "/dev/no-such-serial-device"});
    EXPECT_EQ(Missing.Wait(10000), 1);
    EXPECT_NE(Missing.Output.find("/dev/no-such-serial-device: No such file or directory"), std::string::npos)
        << Missing.Output;
    Child NotTty({"veltrac", "--tty", "/dev/null"});
    EXPECT_EQ(NotTty.Wait(10000), 1);
    EXPECT_NE(NotTty.Output.find("not a serial device"), std::string::npos) << NotTty.Output;
    Child Modelled({"egps", "--tty", "/dev/null", "--adapter-latency", "16"});
    EXPECT_EQ(Modelled.Wait(10000), 2);
    EXPECT_NE(Modelled.Output.find("--tty runs on a real line"), std::string::npos) << Modelled.Output;
}

// A unit found programming, as the lead quotes its summary: what the tool did
// while the receiver programmed, and the version it reports afterwards.
TEST(Executable, UnitFoundProgrammingSumsUpWhatTheToolDidMeanwhile)
{
    TempFolder Dir;
    const std::string Link = Dir.Path() + "/com7";
    Child R({"veltrac", "--com", "7", "--com-dir", Dir.Path(), "--programming-at-start", "2000",
             "--programming-ms", "6000", "--receiver-after", "AXN_5.1_9999_22010101,5000,MC-GG,1.1",
             "--busy-answer", "empty", "--no-gps-while-programming"});
    ASSERT_TRUE(R.Await("COM 7 = ")) << R.Output;
    EXPECT_TRUE(R.Await("switched on with its receiver programming from the packed container")) << R.Output;
    {
        ToolPort Port(Link);
        ASSERT_TRUE(Port.Ok());
        EXPECT_EQ(WakeUnit(Port), 123456) << R.Output;
        Port.Write(ToolFrame(0x1C, Bytes({0, 1, 0, 0}) + "data"));
        ASSERT_TRUE(R.Await("EEPROM write while programming refused")) << R.Output;
    }
    ASSERT_TRUE(R.Await("the tool closed the port")) << R.Output;
    ASSERT_TRUE(R.Await("receiver programmed: now")) << R.Output;
    ::kill(R.Pid, SIGINT);
    EXPECT_EQ(R.Wait(10000), 0) << R.Output;
    const std::string Summary = R.Output.substr(R.Output.rfind("\nunit version ") + 1);
    for (const char* Line :
         {"unit version 2.40, receiver \"AXN_5.1_9999_22010101,5000,MC-GG,1.1\"\n",
          "receiver programmed 1 time(s), 0 refused\n", "switched on with its receiver programming\n",
          "while the receiver programmed: transfers started 1, speed switches 0, EEPROM writes refused 1, "
          "program starts (65352 := 1) 0, link ends 1\n",
          "commands while the receiver programmed: 1C eeprom x1\n",
          "link ended while the receiver programmed: port closed\n"})
        EXPECT_NE(Summary.find(Line), std::string::npos) << Line << "\n" << Summary;
    EXPECT_EQ(Summary.find("still programming"), std::string::npos) << Summary;
}

TEST(Executable, HelpAndBadArguments)
{
    Child Help({"--help"});
    EXPECT_EQ(Help.Wait(10000), 0);
    for (const char* Opt : {"--com ",
                            "--com-dir",
                            "--container",
                            "--drop-replies",
                            "--hang-up",
                            "--pace",
                            "--replug-after",
                            "--preset",
                            "--no-final-status",
                            "--save-image",
                            "--programming-ms",
                            "--busy-answer",
                            "--last-ack-wait",
                            "--programmed-status",
                            "--wrong-rate",
                            "--fast",
                            "--adapter-latency",
                            "--adapter-packet",
                            "--tty",
                            "--programming-at-start MS",
                            "--no-gps-while-programming"})
        EXPECT_NE(Help.Output.find(Opt), std::string::npos) << Opt;
    EXPECT_NE(Help.Output.find("--count K"), std::string::npos);
    EXPECT_NE(Help.Output.find("--on I OPTION"), std::string::npos);

    Child Bad({"veltrac", "--drop-replies", "1.5"});
    EXPECT_EQ(Bad.Wait(10000), 2);
    EXPECT_NE(Bad.Output.find("bad share for --drop-replies"), std::string::npos) << Bad.Output;
    Child Wrong({"veltrac", "--module-name", "x"});
    EXPECT_EQ(Wrong.Wait(10000), 2);
    EXPECT_NE(Wrong.Output.find("option of the External GPS module"), std::string::npos) << Wrong.Output;
    Child Busy({"egps", "--busy-answer", "later"});
    EXPECT_EQ(Busy.Wait(10000), 2);
    EXPECT_NE(Busy.Output.find("bad value for --busy-answer"), std::string::npos) << Busy.Output;
    Child UnitAck({"veltrac", "--fast", "--last-ack-wait", "100"});
    EXPECT_EQ(UnitAck.Wait(10000), 2);
    EXPECT_NE(UnitAck.Output.find("option of the External GPS module"), std::string::npos) << UnitAck.Output;
    Child None({"toaster"});
    EXPECT_EQ(None.Wait(10000), 2);

    // Several devices: a count in range, on COM numbers, each device named by --on there.
    for (const auto& [Args, Says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"veltrac", "--com", "5", "--count", "33"}, "bad value for --count: '33' (1 to 32 devices)"},
             {{"veltrac", "--com", "5", "--count", "0"}, "bad value for --count: '0'"},
             {{"veltrac", "--count", "2"}, "--count needs --com"},
             {{"egps", "--count", "2", "--tty", "/dev/null"}, "--tty runs one device on a real line"},
             {{"veltrac", "--com", "254", "--count", "3"}, "COM numbers go up to 255"},
             {{"veltrac", "--com", "5", "--count", "2", "--on", "3", "--pace"},
              "--on 3: there are 2 devices"},
             {{"veltrac", "--com", "5", "--count", "2", "--on", "1", "--class", "3"}, "not '--class'"},
             {{"veltrac", "--com", "5", "--on", "1", "--late"}, "--late needs a value"},
             {{"veltrac", "--programming-at-start", "3000"}, "--programming-at-start needs --receiver-after"},
             {{"veltrac", "--programming-at-start", "0", "--receiver-after", "X"},
              "bad value for --programming-at-start: '0'"},
             {{"egps", "--programming-at-start", "3000", "--receiver-after", "X"},
              "option of the Veltrac unit"},
             {{"egps", "--no-gps-while-programming"}, "option of the Veltrac unit"}}) {
        Child C(Args);
        EXPECT_EQ(C.Wait(10000), 2) << Says;
        EXPECT_NE(C.Output.find(Says), std::string::npos) << C.Output;
    }
}
