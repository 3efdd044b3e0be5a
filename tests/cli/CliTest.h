#pragma once
// Running veltrac-gnss-update-cli as a child process, as a script would: its
// stdout and stderr go to files (so a chatty run never blocks on a pipe while
// the test waits on a simulated device), its port map is a private folder.
#include "tools/devsim/GpsModule.h"
#include "tools/devsim/VeltracUnit.h"

#include <QJsonObject>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

// What the tool carries for an MC-GG receiver: the last-listed MC-GG image,
// its version text and its bytes (read once, through a session of its own),
// and the firmware package itself with its label.
struct TArchive {
    std::string Required;
    std::string Image;
    std::string Package, Label;
};
const TArchive& Archive();

// Simulated devices at the quick end the session is built for: short
// programming, an empty answer while programming, wrong-rate bytes lost.
devsim::UnitConfig QuickUnit();
devsim::ModuleConfig QuickModule();

// A fresh folder under /tmp, removed with its contents at destruction.
struct TTempDir {
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    // Writes Data to Name inside the folder and returns the full path.
    std::string File(const std::string& Name, const std::string& Data) const;
    std::string Path;
};

// A simulated device made from C and plugged in as COM Com of Dir's port map.
template <class Device, class Config>
std::unique_ptr<Device> PlugIn(const Config& C, int Com, const TTempDir& Dir)
{
    auto D = std::make_unique<Device>(C);
    std::string Error;
    EXPECT_TRUE(D->Ok() && D->PlugAs(Com, Dir.Path, &Error)) << D->Error() << Error;
    return D;
}

struct TCliResult {
    bool Finished = false; // exited by itself within the wait
    int ExitCode = -1;
    std::string Out, Err;
};

class TCliProcess
{
  public:
    // ComDir: VELTRAC_COM_DIR for the child; empty: the variable is removed.
    // FileSizeLimit: the child's RLIMIT_FSIZE in bytes (0: none), with
    // SIGXFSZ ignored, as a shell's ulimit -f and a full quota would leave it.
    TCliProcess(const std::vector<std::string>& Arguments, const std::string& ComDir, rlim_t FileSizeLimit = 0);
    ~TCliProcess();
    TCliProcess(const TCliProcess&) = delete;
    TCliProcess& operator=(const TCliProcess&) = delete;

    pid_t Pid() const { return FPid; }
    void Signal(int Number);
    // Waits for the exit; on time-out the child is killed and Finished is False.
    TCliResult Wait(int TimeoutMs = 90000);
    // What the child wrote to stdout so far.
    std::string OutSoFar() const;

  private:
    TTempDir FDir;
    pid_t FPid = -1;
    bool FReaped = false;
    int FStatus = 0;
};

TCliResult RunCli(const std::vector<std::string>& Arguments, const std::string& ComDir = {},
                  int TimeoutMs = 90000);

// Every stdout line parsed as one JSON object; a line that is not one fails
// the current test and is left out.
std::vector<QJsonObject> JsonLines(const std::string& Out);
std::vector<std::string> Lines(const std::string& Text);

// A pty nobody answers on: the master is held open and never read.
class TSilentPty
{
  public:
    TSilentPty();
    ~TSilentPty();
    const std::string& SlavePath() const { return FSlave; }

  private:
    int FMaster = -1;
    std::string FSlave;
};

std::string ReadFile(const std::string& Path);
