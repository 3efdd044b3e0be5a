#pragma once
// Where the command line's text goes: lines on stdout, errors on stderr,
// JSON objects one a line, and on a terminal a live area at the bottom (the
// progress line of one device, the table of several) that is redrawn in
// place and kept below whatever else is printed.
#include <string>
#include <vector>

class TCliConsole
{
  public:
    // Terminal: stdout is a terminal (and --json is not given).
    TCliConsole(bool Terminal, bool Json) : FTerminal(Terminal && !Json), FJson(Json) {}
    ~TCliConsole();

    bool Terminal() const { return FTerminal; }
    bool Json() const { return FJson; }

    // A line above the live area (nothing with --json).
    void Line(const std::string& Text);
    // "veltrac-gnss-update-cli: Text" on stderr, above the live area.
    void Error(const std::string& Text);
    // One JSON object on its own line.
    void JsonLine(const std::string& Object);

    // Terminal only: the live area as it stands now, drawn in place of the
    // previous one. Lines longer than the terminal is wide are cut.
    void Live(const std::vector<std::string>& Lines);
    // The live area stays on the screen as a record; what follows goes below it.
    void KeepLive();
    const std::vector<std::string>& LiveShown() const { return FLive; }

  private:
    void EraseLive();
    void DrawLive();
    std::size_t Width() const;

    bool FTerminal;
    bool FJson;
    std::vector<std::string> FLive; // on the screen now
};
