#pragma once
#include <string>

// zlib stream of Data at level 9; with Raw the 2-byte header and the Adler-32
// trailer are cut off, leaving a raw deflate stream.
std::string DeflateText(const std::string& Data, bool Raw);
