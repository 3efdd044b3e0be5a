#pragma once
// Real pseudo-terminals for the serial tests: the test holds the master side
// (the "device"), the code under test opens the slave through a COM-number
// link in a private VELTRAC_COM_DIR folder.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

class TTestPty
{
  public:
    TTestPty()
    {
        Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char name[128];
        if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0 ||
            ptsname_r(Master, name, sizeof name) != 0)
            throw std::runtime_error("cannot create a pty");
        SlavePath = name;
    }
    ~TTestPty() { CloseMaster(); }
    TTestPty(const TTestPty&) = delete;
    TTestPty& operator=(const TTestPty&) = delete;

    // Hangs the line up, as an unplugged device does.
    void CloseMaster()
    {
        if (Master >= 0)
            ::close(Master);
        Master = -1;
    }

    void Write(const std::string& S) const
    {
        size_t done = 0;
        while (done < S.size()) {
            const ssize_t n = ::write(Master, S.data() + done, S.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                throw std::runtime_error("pty master write failed");
            } else {
                pollfd p{Master, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    }

    // Reads until Count bytes have arrived or TimeoutMs has passed.
    std::string Read(size_t Count, int TimeoutMs = 5000) const
    {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
        while (out.size() < Count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                break;
            pollfd p{Master, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(Master, buf, std::min(sizeof buf, Count - out.size()));
            if (n > 0)
                out.append(buf, static_cast<size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
        return out;
    }

    // The slave's line settings as the device side sees them.
    termios Settings() const
    {
        termios t{};
        tcgetattr(Master, &t);
        return t;
    }

    int Master = -1;
    std::string SlavePath;
};

// A private VELTRAC_COM_DIR for one test.
class TTestComDir
{
  public:
    TTestComDir()
    {
        char tmpl[] = "/tmp/veltrac-com-XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("cannot create a COM folder");
        Dir = tmpl;
        setenv("VELTRAC_COM_DIR", Dir.c_str(), 1);
    }
    ~TTestComDir()
    {
        std::string cmd = "rm -rf '" + Dir + "'";
        [[maybe_unused]] int rc = std::system(cmd.c_str());
        unsetenv("VELTRAC_COM_DIR");
    }
    TTestComDir(const TTestComDir&) = delete;
    TTestComDir& operator=(const TTestComDir&) = delete;

    std::string LinkPath(int n) const { return Dir + "/com" + std::to_string(n); }
    void Link(int n, const std::string& Target) const
    {
        ::unlink(LinkPath(n).c_str());
        if (::symlink(Target.c_str(), LinkPath(n).c_str()) != 0)
            throw std::runtime_error("cannot link a COM port");
    }
    void Unlink(int n) const { ::unlink(LinkPath(n).c_str()); }

    std::string Dir;
};

// TCGETS2 on a descriptor (MasterRate_helper.cpp): glibc cannot show rates
// set with BOTHER.
bool MasterRate(int Fd, unsigned& InRate, unsigned& OutRate);
