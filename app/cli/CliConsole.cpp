#include "app/cli/CliConsole.h"

#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

TCliConsole::~TCliConsole()
{
    KeepLive();
}

std::size_t TCliConsole::Width() const
{
    winsize W{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &W) == 0 && W.ws_col > 0)
        return W.ws_col;
    return 80;
}

// The cursor stands at the end of the live area's last line.
void TCliConsole::EraseLive()
{
    if (FLive.empty())
        return;
    std::fputs("\r", stdout);
    for (std::size_t I = 1; I < FLive.size(); ++I)
        std::fputs("\x1b[A", stdout);
    std::fputs("\x1b[J", stdout);
}

void TCliConsole::DrawLive()
{
    // A line that wrapped would leave the cursor one row lower than counted.
    const std::size_t Cut = Width() > 1 ? Width() - 1 : 1;
    for (std::size_t I = 0; I < FLive.size(); ++I) {
        if (I > 0)
            std::fputc('\n', stdout);
        std::fputs(FLive[I].substr(0, Cut).c_str(), stdout);
    }
}

void TCliConsole::Line(const std::string& Text)
{
    if (FJson)
        return;
    EraseLive();
    std::fputs(Text.c_str(), stdout);
    std::fputc('\n', stdout);
    DrawLive();
    std::fflush(stdout);
}

void TCliConsole::Error(const std::string& Text)
{
    if (!FLive.empty()) {
        EraseLive();
        std::fflush(stdout);
    }
    std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n", Text.c_str());
    std::fflush(stderr);
    if (!FLive.empty()) {
        DrawLive();
        std::fflush(stdout);
    }
}

void TCliConsole::JsonLine(const std::string& Object)
{
    std::fputs(Object.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void TCliConsole::Live(const std::vector<std::string>& Lines)
{
    if (!FTerminal || Lines == FLive)
        return;
    EraseLive();
    FLive = Lines;
    DrawLive();
    std::fflush(stdout);
}

void TCliConsole::KeepLive()
{
    if (FLive.empty())
        return;
    std::fputc('\n', stdout);
    std::fflush(stdout);
    FLive.clear();
}
