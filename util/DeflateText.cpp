#include "util/DeflateText.h"

#include <zlib.h>

std::string DeflateText(const std::string& Data, bool Raw)
{
    uLongf Size = compressBound(static_cast<uLong>(Data.size()));
    std::string Out(Size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(Out.data()), &Size, reinterpret_cast<const Bytef*>(Data.data()),
                  static_cast<uLong>(Data.size()), 9) != Z_OK)
        return {};
    Out.resize(Size);
    if (Raw) {
        // Strip the 2-byte zlib header and the 4-byte Adler-32 trailer.
        if (Out.size() < 6)
            return {};
        Out = Out.substr(2, Out.size() - 6);
    }
    return Out;
}
