#include "RecordsTest.h"

#include "tests/common/QtWait.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <glob.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

TRecordOptions QuickOptions(const std::string& SpoolPath)
{
    TRecordOptions O;
    O.SpoolPath = SpoolPath;
    O.BackoffFirstMs = 100;
    O.BackoffMaxMs = 400;
    O.ConnectTimeoutMs = 1500;
    O.QueryTimeoutMs = 1500;
    return O;
}

std::string ResultLine(const std::string& RunId, const std::string& Station, const std::string& Outcome,
                       const std::string& DeviceId, const std::string& ReceiverAfter,
                       const std::string& Message)
{
    const QString Now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    const QJsonObject J{{"event", "result"},
                        {"run_id", QString::fromStdString(RunId)},
                        {"result", QString::fromStdString(Outcome)},
                        {"exit_code", Outcome == "updated" ? 0 : 1},
                        {"message", QString::fromStdString(Message)},
                        {"started_at", Now},
                        {"ended_at", Now},
                        {"station", QString::fromStdString(Station)},
                        {"device", "veltrac"},
                        {"device_id", QString::fromStdString(DeviceId)},
                        {"receiver_before", "AXN_3.0"},
                        {"receiver_after", QString::fromStdString(ReceiverAfter)},
                        {"firmware_before", QJsonValue()},
                        {"com", 3},
                        {"device_path", "/dev/ttyUSB0"},
                        {"adapter", QJsonObject{{"usb_serial", "FT123"}}}};
    return QJsonDocument(J).toJson(QJsonDocument::Compact).toStdString();
}

TWriterProbe::TWriterProbe(const std::string& Destination, const TRecordOptions& Options)
{
    const TDestinationParse P = ParseRecordDestination(Destination);
    EXPECT_TRUE(P.Ok()) << P.Error;
    QObject::connect(&Writer, &TRecordWriter::RecordStored, [this](const std::string& Id, bool End) {
        Stored.push_back(Id + (End ? " end" : " begin"));
    });
    QObject::connect(
        &Writer, &TRecordWriter::RecordFailed,
        [this](const std::string&, bool, const std::string& Message) { Failed.push_back(Message); });
    QObject::connect(&Writer, &TRecordWriter::StatusChanged,
                     [this](const TRecordStatus& S) { Statuses.push_back(S); });
    Writer.Start(P.Destination, Options, [this](const TStartCheck& C) { Check = C; });
}

const TStartCheck& TWriterProbe::Checked()
{
    EXPECT_TRUE(WaitFor([&] { return Check.has_value(); }, 20000));
    static const TStartCheck None{TStartResult::Refused, "no start check"};
    return Check ? *Check : None;
}

std::string TWriterProbe::Run(const std::string& Station, const std::string& Outcome)
{
    TRunStart S;
    S.RunId = NewRunId();
    S.Station = Station;
    S.Device = "veltrac";
    S.Port = "COM 3";
    Writer.Begin(S);
    Writer.End(ResultLine(S.RunId, Station, Outcome));
    return S.RunId;
}

std::optional<int> TWriterProbe::Drain(int Milliseconds)
{
    std::optional<int> Waiting;
    Writer.Drain(Milliseconds, [&](int W) { Waiting = W; });
    WaitFor([&] { return Waiting.has_value(); }, Milliseconds + 20000);
    return Waiting;
}

bool TWriterProbe::WaitReports(std::size_t Count, int Milliseconds)
{
    return WaitFor([&] { return Stored.size() + Failed.size() >= Count; }, Milliseconds);
}

namespace
{

std::vector<char*> Argv(const std::vector<std::string>& Command)
{
    std::vector<char*> A;
    for (const std::string& S : Command)
        A.push_back(const_cast<char*>(S.c_str()));
    A.push_back(nullptr);
    return A;
}

std::string ReadFile(const std::string& Path)
{
    std::ifstream F(Path);
    std::stringstream S;
    S << F.rdbuf();
    return S.str();
}

} // namespace

int RunCommand(const std::vector<std::string>& Command, std::string* Output)
{
    int Pipe[2];
    if (::pipe2(Pipe, O_CLOEXEC) != 0)
        return -1;
    std::vector<char*> A = Argv(Command);
    const pid_t Pid = ::fork();
    if (Pid == 0) {
        ::dup2(Pipe[1], STDOUT_FILENO);
        ::dup2(Pipe[1], STDERR_FILENO);
        ::execvp(A[0], A.data());
        ::_exit(127);
    }
    ::close(Pipe[1]);
    std::string Out;
    char Buf[4096];
    ssize_t N;
    while ((N = ::read(Pipe[0], Buf, sizeof Buf)) > 0 || (N < 0 && errno == EINTR))
        if (N > 0)
            Out.append(Buf, static_cast<std::size_t>(N));
    ::close(Pipe[0]);
    int Status = 0;
    while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
    }
    if (Output)
        *Output = Out;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

int StartProbe(const std::vector<std::string>& Args, const std::string& ErrFile)
{
    std::vector<std::string> Command{RECORDS_PROBE_EXE};
    Command.insert(Command.end(), Args.begin(), Args.end());
    std::vector<char*> A = Argv(Command);
    const pid_t Pid = ::fork();
    if (Pid == 0) {
        const int Fd = ::open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(Fd, STDERR_FILENO);
        ::execv(A[0], A.data());
        ::_exit(127);
    }
    return Pid;
}

TProbeResult WaitProbe(int Pid, const std::string& ErrFile)
{
    int Status = 0;
    while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
    }
    return {WIFEXITED(Status) ? WEXITSTATUS(Status) : -1, ReadFile(ErrFile)};
}

TProbeResult RunProbe(const std::vector<std::string>& Args)
{
    const std::string Err =
        std::filesystem::temp_directory_path() / ("records-probe-" + std::to_string(getpid()));
    TProbeResult R = WaitProbe(StartProbe(Args, Err), Err);
    std::remove(Err.c_str());
    return R;
}

// --- the private server -----------------------------------------------------

namespace
{

int FreePort()
{
    const int S = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t L = sizeof A;
    int Port = 0;
    if (::bind(S, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0 &&
        ::getsockname(S, reinterpret_cast<sockaddr*>(&A), &L) == 0)
        Port = ntohs(A.sin_port);
    ::close(S);
    return Port;
}

// The newest installed server's programs (they are not on PATH in Debian).
std::string ServerBin()
{
    glob_t G{};
    std::string Bin;
    if (::glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &G) == 0)
        for (std::size_t i = 0; i < G.gl_pathc; ++i)
            Bin = std::filesystem::path(G.gl_pathv[i]).parent_path();
    ::globfree(&G);
    return Bin;
}

bool Gone(int Pid)
{
    std::ifstream F("/proc/" + std::to_string(Pid) + "/stat");
    std::string Stat;
    if (!std::getline(F, Stat))
        return true;
    const std::size_t Close = Stat.rfind(')');
    return Close != std::string::npos && Close + 2 < Stat.size() && Stat[Close + 2] == 'Z';
}

} // namespace

std::vector<std::string> TPgServer::AsServerUser(const std::vector<std::string>& Command) const
{
    // initdb and pg_ctl refuse root; CI runs as root.
    if (::geteuid() != 0)
        return Command;
    std::vector<std::string> C{"runuser", "-u", "postgres", "--"};
    C.insert(C.end(), Command.begin(), Command.end());
    return C;
}

TPgServer::TPgServer()
{
    FBin = ServerBin();
    if (FBin.empty()) {
        FError = "no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb; scripts/install-deps)";
        return;
    }
    char Template[] = "/tmp/veltrac-pg-XXXXXX";
    if (!::mkdtemp(Template)) {
        FError = "mkdtemp failed";
        return;
    }
    FBase = Template;
    FData = FBase + "/data";
    FSocket = FBase + "/run";
    FPort = FreePort();
    // mkdtemp's 0700 would keep the server user out.
    ::chmod(FBase.c_str(), 0755);
    ::mkdir(FData.c_str(), 0700);
    ::mkdir(FSocket.c_str(), 0755);
    const std::string PwFile = FBase + "/pw";
    std::ofstream(PwFile) << "secret\n";
    ::chmod(PwFile.c_str(), 0644);
    if (::geteuid() == 0) {
        const passwd* Pw = ::getpwnam("postgres");
        if (!Pw) {
            FError = "no user postgres to run the server as";
            return;
        }
        for (const std::string& D : {FData, FSocket})
            if (::chown(D.c_str(), Pw->pw_uid, Pw->pw_gid) != 0)
                FError = "chown " + D + " failed";
    }
    std::string Out;
    if (RunCommand(
            AsServerUser({FBin + "/initdb", "-D", FData, "-U", "veltrac", "--pwfile=" + PwFile, "-N", "-E",
                          "UTF8", "--no-locale", "--auth-local=trust", "--auth-host=scram-sha-256"}),
            &Out) != 0) {
        FError = "initdb failed: " + Out;
        return;
    }
    if (!Start())
        return;
}

TPgServer::~TPgServer()
{
    if (!FData.empty() && std::filesystem::exists(FData + "/postmaster.pid")) {
        Resume();
        Stop();
    }
    if (!FBase.empty())
        std::filesystem::remove_all(FBase);
}

bool TPgServer::Start()
{
    std::string Out;
    const std::string Options =
        "-p " + std::to_string(FPort) + " -k " + FSocket + " -c listen_addresses=127.0.0.1 -c fsync=off";
    if (RunCommand(AsServerUser({FBin + "/pg_ctl", "-D", FData, "-o", Options, "-l", FSocket + "/server.log",
                                 "-w", "-t", "60", "start"}),
                   &Out) != 0) {
        FError = "the server did not start: " + Out + ReadFile(FSocket + "/server.log");
        return false;
    }
    FError.clear();
    return true;
}

bool TPgServer::Stop()
{
    return RunCommand(AsServerUser({FBin + "/pg_ctl", "-D", FData, "-m", "fast", "-w", "stop"})) == 0;
}

std::vector<int> TPgServer::Processes() const
{
    std::ifstream F(FData + "/postmaster.pid");
    int Postmaster = 0;
    if (!(F >> Postmaster) || Postmaster <= 0)
        return {};
    std::vector<int> Pids{Postmaster};
    DIR* Proc = ::opendir("/proc");
    while (const dirent* E = Proc ? ::readdir(Proc) : nullptr) {
        const int Pid = std::atoi(E->d_name);
        std::ifstream S("/proc/" + std::to_string(Pid) + "/stat");
        std::string Stat;
        if (Pid <= 0 || !std::getline(S, Stat))
            continue;
        // The parent is the second field after the name in parentheses.
        std::istringstream Rest(Stat.substr(Stat.rfind(')') + 1));
        std::string State;
        int Parent = 0;
        if (Rest >> State >> Parent && Parent == Postmaster)
            Pids.push_back(Pid);
    }
    if (Proc)
        ::closedir(Proc);
    return Pids;
}

void TPgServer::Kill()
{
    const std::vector<int> Pids = Processes();
    for (int Pid : Pids)
        ::kill(Pid, SIGKILL);
    for (int Pid : Pids)
        while (!Gone(Pid))
            ::usleep(10000);
    // A dead server's lock files would stop the next start while its process
    // is kept as a zombie by a parent that does not reap.
    std::filesystem::remove(FData + "/postmaster.pid");
    std::filesystem::remove(FSocket + "/.s.PGSQL." + std::to_string(FPort) + ".lock");
    std::filesystem::remove(FSocket + "/.s.PGSQL." + std::to_string(FPort));
}

void TPgServer::Pause()
{
    for (int Pid : Processes())
        ::kill(Pid, SIGSTOP);
}

void TPgServer::Resume()
{
    for (int Pid : Processes())
        ::kill(Pid, SIGCONT);
}

bool TPgServer::Restore()
{
    Resume();
    return std::filesystem::exists(FData + "/postmaster.pid") || Start();
}

std::string TPgServer::CreateDatabase()
{
    const std::string Name = "records" + std::to_string(++FDatabases);
    std::string Out;
    if (RunCommand({FBin + "/createdb", "-h", FSocket, "-p", std::to_string(FPort), "-U", "veltrac", Name},
                   &Out) != 0)
        ADD_FAILURE() << "createdb " << Name << ": " << Out;
    return Name;
}

std::string TPgServer::Uri(const std::string& Database, const std::string& Password) const
{
    return "postgresql://veltrac:" + Password + "@127.0.0.1:" + std::to_string(FPort) + "/" + Database;
}

std::string TPgServer::Sql(const std::string& Database, const std::string& Statement)
{
    std::string Out;
    if (RunCommand({FBin + "/psql", "-h", FSocket, "-p", std::to_string(FPort), "-U", "veltrac", "-d",
                    Database, "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-c", Statement},
                   &Out) != 0)
        ADD_FAILURE() << "psql " << Statement << ": " << Out;
    while (!Out.empty() && Out.back() == '\n')
        Out.pop_back();
    return Out;
}
