#pragma once
// TCX_FrameReader: the receiving half of the tracking unit's framing. Bytes go in
// one at a time; out come complete frames and the text to show (everything that
// is not part of a frame, and with ShowRaw the frames too). It knows no port, no
// timer and no events: TCorvex feeds it and dispatches what it assembles.
// Frame layouts, escapes and auto-detection: docs/link-protocol.md.
#include "link/CorvexRecords.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What the reader needs to know of the link for each byte. The owner fills it in
// before every byte, since a dispatched frame may change any of it.
struct TCX_ReaderLine {
    TCX_ConfigType ConfigType = cxctCore2; // auto-detection may change it
    bool AutoDetect = false;               // detect ConfigType while not Connected
    bool Connected = false;
    bool CoreEscape = false; // the unit's core is above 555: 5C escapes in bracketed mode
    bool ShowRaw = false;    // frame bytes are shown as well
};

struct TCX_Frame {
    uint8_t CmdID = 0;
    std::string Payload;  // raw bytes, escapes undone
    bool Ignored = false; // from another sender (our own echo): parsed to its end, not to be handled
};

class TCX_FrameReader
{
  public:
    // Most bytes held while a frame or block request is being assembled; beyond it
    // the oldest bytes are shown as text instead of being held.
    static constexpr std::size_t MaxRawText = 1024;

    // One received byte. Consumed may come in true (the block feed took the byte);
    // the reader sets it when the byte belongs to a frame. Returns true when the byte
    // completes a frame (Frame()); with ShowRaw the frame's bytes go to Shown then.
    bool Take(uint8_t B, TCX_ReaderLine& Line, bool& Consumed, std::string& Shown);
    // Ends the byte once its frame, if any, has been handled: the held text goes to
    // Shown when the byte was not consumed, with ShowRaw, or beyond MaxRawText.
    void Settle(bool Consumed, bool ShowRaw, std::string& Shown);
    // The frame the last successful Take completed.
    TCX_Frame Frame() const;

    // A whole chunk with nothing else taking bytes: Take and Settle for each byte.
    // Complete frames (ignored ones too) are appended to Frames; returns the text to show.
    std::string Read(const std::string& Bytes, TCX_ReaderLine& Line, std::vector<TCX_Frame>& Frames);

    // Forgets a pending escape and the held text (a block request was served, a new
    // connection begins). The frame being assembled, if any, goes on.
    void DropHeld();
    // Waits for the start of the next frame (the unit was just woken up).
    void Hunt();
    std::size_t HeldSize() const { return RxRawText.size(); }

  private:
    enum TRxState {
        rsHunting = -1,
        rsAwaitBracket = -2,
        rsAwaitStart = -3,
        rsAwaitAddress = -4,
        rsAwaitCommand = -5,
        rsAwaitLength = -6,
        rsAwaitEnd = -7,
        rsDetectBracket = -8,
        rsDetectAddress = -9,
        rsDetectCommand = -10
        // 0..255: index of the next payload byte; RxLength: the checksum byte
    };

    int RxState = rsHunting;
    bool RxEscape = false;
    uint8_t RxCmdID = 0;
    uint8_t RxLength = 0;
    uint8_t RxSum = 0;
    std::string RxData; // payload bytes so far
    bool RxIgnore = false;
    std::string RxRawText;
};
