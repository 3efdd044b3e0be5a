#pragma once
// Fixed-size ring buffer used as the send buffer of a port. Not locked:
// the core guards it with its write lock.
#include <cstdint>
#include <vector>

class TCircularBuffer
{
  public:
    explicit TCircularBuffer(int32_t Size);

    int32_t Size() const { return FSize; }
    int32_t Start() const { return FStart; }
    int32_t End() const { return FEnd; }
    bool Full() const { return FFull; }

    int32_t Used() const;
    int32_t Free() const { return FSize - Used(); }
    // Bytes readable from ReadPtr() without wrapping.
    int32_t ContiguousUsed() const;
    const uint8_t* ReadPtr() const { return FBuffer.data() + FStart; }

    void Clear();
    bool Remove(int32_t n);
    // All or nothing: refused when n < 1 or n > Free().
    bool Write(const void* Src, int32_t n);

  private:
    int32_t Advance(int32_t p, int32_t n) const { return p + n < FSize ? p + n : p + n - FSize; }

    std::vector<uint8_t> FBuffer;
    int32_t FSize;
    int32_t FStart = 0;
    int32_t FEnd = 0;
    bool FFull = false;
};
