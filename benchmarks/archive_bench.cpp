// Times the archive reader against the 7z command on one archive of 20 items
// (19 small ones and 1 MiB of incompressible data, LZMA2 with the BCJ filter).
// Every figure is the median of 20 runs after one warm-up run.
#include "firmware/ArchiveReader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace
{

constexpr int kRuns = 20;

double MedianMs(
    const std::function<void()>& Run, const std::function<void()>& Before = [] {})
{
    Before();
    Run();
    std::vector<double> Times;
    for (int I = 0; I < kRuns; ++I) {
        Before();
        auto Start = std::chrono::steady_clock::now();
        Run();
        Times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count());
    }
    std::sort(Times.begin(), Times.end());
    return (Times[kRuns / 2 - 1] + Times[kRuns / 2]) / 2;
}

// Runs a command with its output discarded; false when it fails.
bool Command(std::vector<std::string> Args)
{
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> Argv;
    for (auto& Arg : Args)
        Argv.push_back(Arg.data());
    Argv.push_back(nullptr);
    pid_t Child;
    int Status = -1;
    bool Started = posix_spawnp(&Child, Argv[0], &Actions, nullptr, Argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&Actions);
    return Started && waitpid(Child, &Status, 0) == Child && WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
}

std::string Noise(size_t Size, uint32_t Seed)
{
    std::string Bytes(Size, '\0');
    for (char& Byte : Bytes) {
        Seed ^= Seed << 13;
        Seed ^= Seed >> 17;
        Seed ^= Seed << 5;
        Byte = static_cast<char>(Seed);
    }
    return Bytes;
}

} // namespace

int main()
{
    const fs::path Dir = fs::temp_directory_path() / ("veltrac-archive-bench-" + std::to_string(getpid()));
    fs::create_directories(Dir / "src");
    std::vector<std::string> Add = {
        "7z", "a", "-bd", "-t7z", "-m0=BCJ", "-m1=LZMA2", (Dir / "bench.7z").string()};
    for (int I = 0; I < 19; ++I) {
        std::string Name = "AXN_3.8_" + std::to_string(1000 + I) + ",3424,MC-GG,1.0.bin";
        std::ofstream(Dir / "src" / Name, std::ios::binary)
            << std::string(2048 + 512 * I, static_cast<char>('a' + I));
        Add.push_back((Dir / "src" / Name).string());
    }
    const std::string Big = Noise(1 << 20, 4242);
    std::ofstream(Dir / "src" / "big.bin", std::ios::binary) << Big;
    Add.push_back((Dir / "src" / "big.bin").string());
    if (!Command(Add)) {
        std::fprintf(stderr, "archive_bench: the 7z command could not build the archive\n");
        return 1;
    }
    std::ifstream In(Dir / "bench.7z", std::ios::binary);
    std::string Archive{std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};

    int Failures = 0;
    auto Check = [&](bool Good) { Failures += !Good; };

    // The reader made by one run is released at the start of the next, untimed.
    std::unique_ptr<IArchiveReader> Made;
    auto Release = [&] { Made.reset(); };
    const double Create = MedianMs([&] { Made = NewArchiveReader(); }, Release);
    Release();
    const double CreateRelease = MedianMs([&] { Check(NewArchiveReader() != nullptr); });

    auto Reader = NewArchiveReader();
    uint32_t BigIndex = 0;
    const double OpenList = MedianMs([&] {
        TArchiveStream Stream(Archive);
        Reader->OpenArchiveStream(Stream);
        uint64_t Total = 0;
        for (uint32_t I = 0; I < Reader->ItemCount(); ++I) {
            if (Reader->ItemPathOf(I) == "big.bin")
                BigIndex = I;
            Total += Reader->ItemSizeOf(I) + Reader->ItemIsDirectory(I);
        }
        Check(Reader->ItemCount() == 20 && Total > Big.size());
        Reader->CloseArchive();
    });

    TArchiveStream Stream(Archive);
    Reader->OpenArchiveStream(Stream);
    const double Extract = MedianMs([&] {
        std::string Out;
        Reader->ExtractItemToStream(BigIndex, Out, false);
        Check(Out == Big);
    });
    Reader.reset();

    const double Whole = MedianMs([&] {
        auto Once = NewArchiveReader();
        TArchiveStream Own(Archive);
        Once->OpenArchiveStream(Own);
        std::string Out;
        Once->ExtractItemToStream(BigIndex, Out, false);
        Check(Out == Big);
    });

    const std::string Path = (Dir / "bench.7z").string();
    const double List7z = MedianMs([&] { Check(Command({"7z", "l", Path})); });
    const double Extract7z = MedianMs([&] { Check(Command({"7z", "e", "-so", Path, "big.bin"})); });

    fs::remove_all(Dir);
    std::printf("archive: %zu bytes, 20 items, 1 MiB item big.bin; median of %d runs in ms\n", Archive.size(),
                kRuns);
    std::printf("%-44s %9s   %-28s %9s\n", "archive reader", "ms", "7z command", "ms");
    std::printf("%-44s %9.3f\n", "create reader (load library from memory)", Create);
    std::printf("%-44s %9.3f\n", "create + release reader", CreateRelease);
    std::printf("%-44s %9.3f   %-28s %9.3f\n", "open + list 20 items + close", OpenList, "7z l", List7z);
    std::printf("%-44s %9.3f   %-28s %9.3f\n", "extract the 1 MiB item", Extract, "7z e -so big.bin",
                Extract7z);
    std::printf("%-44s %9.3f\n", "create + open + extract 1 MiB + release", Whole);
    if (Failures) {
        std::fprintf(stderr, "archive_bench: %d runs gave wrong results\n", Failures);
        return 1;
    }
    return 0;
}
