// softupdate_bench: how long start-up spends turning the embedded "gps_fw" into
// the unit-firmware collection, and how fast the block feed answers a device
// pulling a 2048-block version.
#include "firmware/Keys.h"
#include "firmware/MyCrypt.h"
#include "firmware/Resources.h"
#include "firmware/SoftUpdate.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration D)
{
    return std::chrono::duration<double, std::milli>(D).count();
}

void Report(const char* What, std::vector<double> Ms)
{
    std::sort(Ms.begin(), Ms.end());
    std::printf("%-44s min %8.2f ms  median %8.2f ms  max %8.2f ms  (%zu runs)\n", What, Ms.front(),
                Ms[Ms.size() / 2], Ms.back(), Ms.size());
}

void BenchLoad()
{
    const auto resource = FindResource("gps_fw");
    if (!resource) {
        std::printf("no gps_fw resource embedded\n");
        return;
    }
    const std::string image(*resource);
    std::vector<double> decipher;
    std::vector<double> load;
    int versions = 0;
    for (int run = 0; run < 7; ++run) {
        const auto t0 = Clock::now();
        const TFirmwareImage split = SplitFirmwareImage(image, ImageKey());
        const auto t1 = Clock::now();
        TSoftwareVersionCollection c;
        versions = c.LoadFromArchive(split.Archive);
        const auto t2 = Clock::now();
        decipher.push_back(Ms(t1 - t0));
        load.push_back(Ms(t2 - t1));
    }
    std::printf("gps_fw: %zu bytes, %d unit firmware versions\n", image.size(), versions);
    Report("decipher gps_fw", decipher);
    Report("LoadFromArchive (7-Zip library, all items)", load);
}

void BenchFeed()
{
    // A wide version of 2048 blocks: a 256-byte map naming blocks 0..2047.
    TSoftwareVersion v;
    v.Info.Title = "bench";
    v.Wide = true;
    v.Blocks.assign(256, '\xFF');
    for (int n = 0; n < 2048; ++n) {
        std::string block(256, '\0');
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>((n * 7 + static_cast<int>(i)) & 0xFF);
        v.BlockNumbers.push_back(std::to_string(n));
        v.BlockData.push_back(block);
    }
    v.CRC = TSoftwareVersionCollection::CalcChecksum(v);
    TSoftwareVersionCollection c;
    c.AddVersion(v);

    // The device asks for the map first, then every block from the top down, then ends.
    std::string requests = "{\xFF\xFD}";
    for (int n = 2047; n >= 0; --n)
        requests += std::string("{") + static_cast<char>(n >> 8) + static_cast<char>(n & 0xFF) + "}";
    requests += "{\xFF\xFF}";

    std::vector<double> times;
    size_t answered = 0;
    for (int run = 0; run < 7; ++run) {
        TSoftwareUpdate u;
        u.Select(c, "*");
        std::string reply;
        answered = 0;
        const auto t0 = Clock::now();
        for (char ch : requests) {
            u.ProcessChar(static_cast<uint8_t>(ch), reply);
            answered += reply.size();
        }
        times.push_back(Ms(Clock::now() - t0));
    }
    std::printf("block feed: %zu request bytes, %zu answer bytes per run\n", requests.size(), answered);
    Report("serve 2048 wide blocks through ProcessChar", times);
    std::sort(times.begin(), times.end());
    std::printf("%-44s %8.2f us per block\n", "", times[times.size() / 2] * 1000.0 / 2048.0);
}

} // namespace

int main()
{
    BenchLoad();
    BenchFeed();
    return 0;
}
