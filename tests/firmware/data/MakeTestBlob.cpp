// Writes the test blob pattern: Size bytes, byte i = (i * 7 + (i >> 8)) & 0xFF, so that every
// byte value and every offset matter. Resources_test.cpp recomputes the same pattern.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <output> <size>\n", argv[0]);
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const unsigned long Size = std::strtoul(argv[2], nullptr, 10);
    for (unsigned long i = 0; i < Size; ++i)
        std::fputc(static_cast<int>((i * 7 + (i >> 8)) & 0xFF), f);
    return std::fclose(f) == 0 ? 0 : 1;
}
