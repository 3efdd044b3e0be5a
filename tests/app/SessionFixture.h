#pragma once
// End-to-end tests of the update session: a simulated device on a real pty is
// plugged in as COM 5 through a private port-map folder, and the session runs
// on the test's Qt event loop. Exceptions that reach the application's handler
// and the error boxes the session asks for are collected and checked.
#include "app/UpdateSession.h"
#include "tests/common/QtWait.h"
#include "tools/devsim/SimDevice.h"
#include "tools/devsim/VeltracUnit.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class SessionTest : public ::testing::Test
{
  protected:
    static constexpr int Com = 5;
    // Generous: the sanitizer build on a loaded machine is many times slower.
    static constexpr int Long = 90000;
    static constexpr int Short = 20000;

    void SetUp() override;
    void TearDown() override;

    // A session as the window makes it, with its questions answered by the test.
    std::unique_ptr<TUpdateSession> NewSession(const std::vector<std::string>& Arguments = {});
    // Device type and port chosen, "Open" pressed.
    void Open(TUpdateSession& S, int DeviceType);

    std::string ComDir() const { return FDir.path().toStdString(); }
    // Plugs the device in as COM 5; a failing test prints the end of its log.
    void Plug(devsim::SimDevice& Device);

    std::vector<std::string> Exceptions;  // what reached the application's handler
    std::vector<std::string> Errors;      // error boxes shown
    std::vector<TUpdateOutcome> Outcomes; // every run's end, in order
    std::string FileToChoose;             // the answer to "Custom firmware update"
    int FileQuestions = 0;
    bool ExpectNoExceptions = true;

  private:
    QTemporaryDir FDir;
    // Device log lines, kept here: the devices are gone by the time TearDown runs.
    std::shared_ptr<std::vector<std::string>> FLog = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<std::mutex> FLogLock = std::make_shared<std::mutex>();
};

// The bytes of archive item Name, read with a reader of its own from the demo
// archive fwpack wrote (or from Archive when the build embeds ready-made firmware).
std::string ArchiveItem(const std::string& Archive, const std::string& Name);

// The session's state and display in one line, for failure messages.
std::string Describe(const TUpdateSession& S);

// A unit that reports often and programs quickly, with the receiver's old
// MC-1513 version: the quick end the session is built for (an empty answer
// while programming, bytes at a wrong rate lost).
devsim::UnitConfig FastUnit();
// How often the unit received command Cmd.
int Count(const devsim::UnitReport& R, int Cmd);
