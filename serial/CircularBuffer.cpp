#include "serial/CircularBuffer.h"

#include <algorithm>
#include <cstring>

TCircularBuffer::TCircularBuffer(int32_t Size)
    : FBuffer(static_cast<size_t>(std::max<int32_t>(Size, 0))), FSize(std::max<int32_t>(Size, 0))
{
}

int32_t TCircularBuffer::Used() const
{
    if (FFull)
        return FSize;
    if (FEnd >= FStart)
        return FEnd - FStart;
    return FEnd + FSize - FStart;
}

int32_t TCircularBuffer::ContiguousUsed() const
{
    if (FFull)
        return FSize - FStart;
    if (FEnd >= FStart)
        return FEnd - FStart;
    return FSize - FStart;
}

void TCircularBuffer::Clear()
{
    FStart = 0;
    FEnd = 0;
    FFull = false;
}

bool TCircularBuffer::Remove(int32_t n)
{
    // A negative count would move the read position backwards over bytes
    // already sent; refuse it like a count larger than what is stored.
    if (n < 0 || Used() < n)
        return false;
    FStart = Advance(FStart, n);
    if (n > 0)
        FFull = false;
    return true;
}

bool TCircularBuffer::Write(const void* Src, int32_t n)
{
    if (n < 1 || n > Free())
        return false;
    const auto* src = static_cast<const uint8_t*>(Src);
    if (FEnd >= FStart && FSize - FEnd < n) {
        const int32_t first = FSize - FEnd;
        std::memcpy(FBuffer.data() + FEnd, src, static_cast<size_t>(first));
        std::memcpy(FBuffer.data(), src + first, static_cast<size_t>(n - first));
    } else {
        std::memcpy(FBuffer.data() + FEnd, src, static_cast<size_t>(n));
    }
    FEnd = Advance(FEnd, n);
    FFull = FStart == FEnd;
    return true;
}
