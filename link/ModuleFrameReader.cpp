#include "link/ModuleFrameReader.h"

bool TModuleFrameReader::Feed(uint8_t Ch)
{
    if (Ch == 0x3C) {
        FInFrame = true;
        FFrame.clear();
        FEscape = false;
        return false;
    }
    if (Ch == 0x3E) {
        const bool Closed = FInFrame;
        FInFrame = false;
        return Closed;
    }
    if (!FInFrame)
        return false;
    if (FEscape) {
        FEscape = false;
        if (Ch == 0x01)
            FFrame += '\x3C';
        else if (Ch == 0x02)
            FFrame += '\x3E';
        else if (Ch == 0x10)
            FFrame += '\x10';
        else
            FInFrame = false;
    } else if (Ch == 0x10) {
        FEscape = true;
    } else {
        FFrame += static_cast<char>(Ch);
    }
    if (FFrame.size() > MaxFrame)
        FInFrame = false;
    return false;
}
