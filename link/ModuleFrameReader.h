#pragma once
// The External GPS module's frame reader: bytes in, frames out. A frame is
// "<" content ">", where content holds 3C, 3E and 10 escaped as 10 01, 10 02
// and 10 10. No port and no timer: the module link feeds it byte by byte.
#include <cstddef>
#include <cstdint>
#include <string>

class TModuleFrameReader
{
  public:
    // No frame the module sends comes near this; a longer run of bytes
    // without ">" is line noise and is dropped instead of being held.
    static constexpr std::size_t MaxFrame = 4096;

    // Takes one received byte. True when it closed a frame: Frame() then
    // holds its content, unescaped, checksum included (checked or not).
    // A "<" always starts a new frame; an escape of any other byte, or a
    // frame above MaxFrame, abandons the frame under way; bytes outside a
    // frame are ignored.
    bool Feed(uint8_t Ch);

    const std::string& Frame() const { return FFrame; }
    bool InFrame() const { return FInFrame; }
    // A frame under way is abandoned (a new connection).
    void Abandon() { FInFrame = false; }

  private:
    bool FInFrame = false;
    std::string FFrame;
    bool FEscape = false;
};
