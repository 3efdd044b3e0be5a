// The device side of the block-request protocol, driven with a hand-made clock.
#include "DevsimTest.h"
#include "tools/devsim/BlockPuller.h"

#include <gtest/gtest.h>

using namespace devsim;

namespace
{

struct Rig {
    BlockPuller P;
    FirmwareServer S;
    std::string Sent; // everything the device sent
    Clock::time_point Now = Clock::time_point{} + std::chrono::hours(1);

    Rig()
    {
        P.Send = [this](const std::string& R) { Sent += R; };
    }
    // Serves what the device asked since the last call; Deliver false loses the answer.
    std::string Serve(bool Deliver = true)
    {
        const std::string A = S.Feed(Sent);
        Sent.clear();
        if (Deliver && !A.empty())
            P.OnBytes(A, Now);
        return A;
    }
    void RunToEnd(int Rounds = 100)
    {
        for (int i = 0; i < Rounds && P.Active(); ++i)
            Serve();
        Serve();
    }
    void Wait(int Ms)
    {
        Now += std::chrono::milliseconds(Ms);
        P.OnTimer(Now);
    }
};

std::string MapWith(std::size_t Size, std::initializer_list<int> BlockNumbers)
{
    std::string M(Size, '\0');
    for (int n : BlockNumbers)
        M[static_cast<std::size_t>(n / 8)] =
            static_cast<char>(M[static_cast<std::size_t>(n / 8)] | (1 << (n % 8)));
    return M;
}

std::string Page(int Seed)
{
    std::string B(256, '\0');
    for (int i = 0; i < 256; ++i)
        B[static_cast<std::size_t>(i)] = static_cast<char>((i * 7 + Seed * 13) & 0xFF);
    return B;
}

void Fill(FirmwareServer& S, std::initializer_list<int> Numbers)
{
    for (int n : Numbers) {
        if (S.Blocks.size() <= static_cast<std::size_t>(n))
            S.Blocks.resize(static_cast<std::size_t>(n) + 1);
        S.Blocks[static_cast<std::size_t>(n)] = Page(n);
    }
    S.Crc = FirmwareCrc(S.Map, S.Blocks);
}

} // namespace

TEST(BlockPuller, WideLayoutAsksInfoThenBlocksFromTheTopDownThenTheEnd)
{
    Rig R;
    R.S.Wide = true;
    R.S.Map = MapWith(64, {16, 25, 87});
    // Bits in map bytes 0 and 1 lie outside the checksum and are not asked for.
    R.S.Map[0] = '\x01';
    Fill(R.S, {16, 25, 87});
    BlockPuller::Settings St;
    St.Width = BlockWidth::Wide;
    R.P.Start(St, R.Now);
    EXPECT_EQ(Hex(R.Sent), "7B FF FD 7D");
    R.Serve();
    EXPECT_EQ(Hex(R.Sent), "7B 00 57 7D") << "block 87 first";
    R.RunToEnd();
    EXPECT_EQ(R.S.Requests, (std::vector<int>{0xFFFD, 87, 25, 16, 0xFFFF}));
    ASSERT_TRUE(R.P.Finished());
    const PulledFirmware& F = R.P.Result();
    EXPECT_EQ(F.Error, "");
    EXPECT_TRUE(F.Wide);
    EXPECT_EQ(F.Map, R.S.Map);
    EXPECT_EQ(F.Crc, R.S.Crc);
    EXPECT_EQ(F.Blocks.size(), 3u);
    EXPECT_EQ(F.Blocks.at(25), Page(25));
    EXPECT_EQ(FirmwareBytes(F), Page(16) + Page(25) + Page(87));
    EXPECT_EQ(F.Retries, 0);
}

TEST(BlockPuller, NarrowLayoutAsksTheMapThenBlocksUpwardsThenZero)
{
    Rig R;
    R.S.Wide = false;
    R.S.Map = MapWith(32, {17, 30, 200});
    Fill(R.S, {17, 30, 200});
    BlockPuller::Settings St;
    St.Width = BlockWidth::Narrow;
    R.P.Start(St, R.Now);
    EXPECT_EQ(Hex(R.Sent), "7B 01 7D");
    R.RunToEnd();
    EXPECT_EQ(R.S.Requests, (std::vector<int>{1, 17, 30, 200, 0}));
    const PulledFirmware& F = R.P.Result();
    EXPECT_EQ(F.Error, "");
    EXPECT_FALSE(F.Wide);
    EXPECT_EQ(F.Crc, -1) << "the narrow map answer carries no CRC";
    EXPECT_EQ(F.Blocks.at(200), Page(200));
}

TEST(BlockPuller, WrongCrcIsRefusedAndTheFeedIsStillEnded)
{
    Rig R;
    R.S.Map = MapWith(64, {20, 21});
    Fill(R.S, {20, 21});
    R.S.Crc ^= 0x0100;
    R.P.Start({}, R.Now);
    R.RunToEnd();
    ASSERT_TRUE(R.P.Finished());
    EXPECT_NE(R.P.Result().Error.find("CRC-16 mismatch"), std::string::npos) << R.P.Result().Error;
    EXPECT_EQ(R.S.Requests.back(), 0xFFFF);
    EXPECT_TRUE(R.S.Ended);
}

TEST(BlockPuller, AWrongBlockChangesTheCrc)
{
    Rig R;
    R.S.Map = MapWith(64, {20, 21});
    Fill(R.S, {20, 21});
    R.S.Blocks[21][100] ^= 1; // the CRC was computed before the damage
    R.P.Start({}, R.Now);
    R.RunToEnd();
    EXPECT_NE(R.P.Result().Error.find("CRC-16 mismatch"), std::string::npos);
}

TEST(BlockPuller, DamagedOrLostAnswersAreAskedForAgain)
{
    Rig R;
    R.S.Map = MapWith(64, {40, 41});
    Fill(R.S, {40, 41});
    BlockPuller::Settings St;
    St.Width = BlockWidth::Wide;
    R.P.Start(St, R.Now);
    R.Serve();                        // info
    std::string A = R.S.Feed(R.Sent); // block 41
    R.Sent.clear();
    A[A.size() - 2] ^= 0x55; // its sum
    R.P.OnBytes(A, R.Now);
    EXPECT_EQ(R.Sent, "") << "a bad answer is not taken";
    R.Wait(St.TimeoutMs - 1);
    EXPECT_EQ(R.Sent, "");
    R.Wait(1);
    EXPECT_EQ(Hex(R.Sent), "7B 00 29 7D") << "block 41 again after the time-out";
    R.Serve(false); // and that answer is lost
    R.Wait(St.TimeoutMs);
    EXPECT_EQ(Hex(R.Sent), "7B 00 29 7D");
    R.RunToEnd();
    EXPECT_EQ(R.P.Result().Error, "");
    EXPECT_EQ(R.P.Result().Retries, 2);
    EXPECT_EQ(R.P.Result().Blocks.at(41), Page(41));
}

TEST(BlockPuller, AnswersSplitAnywhereAndNoiseAroundThemAreRead)
{
    Rig R;
    R.S.Map = MapWith(64, {123});
    Fill(R.S, {123});
    R.S.Blocks[123][5] = '{'; // braces inside the payload
    R.S.Blocks[123][6] = '}';
    R.S.Crc = FirmwareCrc(R.S.Map, R.S.Blocks);
    R.P.Start({}, R.Now);
    for (int Round = 0; Round < 2; ++Round) {
        const std::string A = "\r\nnoise{" + R.S.Feed(R.Sent);
        R.Sent.clear();
        for (char C : A)
            R.P.OnBytes(std::string(1, C), R.Now);
    }
    R.Serve();
    EXPECT_EQ(R.P.Result().Error, "");
    EXPECT_EQ(R.P.Result().Blocks.at(123), R.S.Blocks[123]);
}

TEST(BlockPuller, DoubleMapBitsStandForTwoBlocks)
{
    Rig R;
    R.S.Map = MapWith(64, {17});
    R.S.Map[0] = '\x07';
    R.S.Map[1] = '\xE3';
    Fill(R.S, {34, 35});
    R.P.Start({}, R.Now);
    R.RunToEnd();
    EXPECT_EQ(R.S.Requests, (std::vector<int>{0xFFFD, 35, 34, 0xFFFF}));
    EXPECT_EQ(R.P.Result().Error, "");
}

TEST(BlockPuller, ShortBlocksAreTakenAsStored)
{
    Rig R;
    R.S.Map = MapWith(64, {50});
    R.S.Blocks.resize(51);
    R.S.Blocks[50] = "just ten b";
    R.S.Crc = FirmwareCrc(R.S.Map, R.S.Blocks);
    R.P.Start({}, R.Now);
    R.RunToEnd();
    EXPECT_EQ(R.P.Result().Error, "");
    EXPECT_EQ(R.P.Result().Blocks.at(50), "just ten b");
}

TEST(BlockPuller, HardwareIdMustMatchTheDevice)
{
    for (uint16_t Id : {5, 6}) {
        Rig R;
        R.S.Map = MapWith(64, {30});
        R.S.HardwareId = Id;
        Fill(R.S, {30});
        BlockPuller::Settings St;
        St.HardwareId = 5;
        R.P.Start(St, R.Now);
        R.RunToEnd();
        if (Id == 5) {
            EXPECT_EQ(R.P.Result().Error, "");
            EXPECT_EQ(R.P.Result().HardwareId, 5u);
        } else {
            EXPECT_NE(R.P.Result().Error.find("hardware id 6"), std::string::npos) << R.P.Result().Error;
            EXPECT_EQ(R.S.Requests, (std::vector<int>{0xFFFD, 0xFFFF}));
        }
    }
}

TEST(BlockPuller, AutoWidthTriesWideTwiceThenNarrow)
{
    Rig R;
    BlockPuller::Settings St;
    St.Width = BlockWidth::Auto;
    R.P.Start(St, R.Now);
    EXPECT_EQ(Hex(R.Sent), "7B FF FD 7D");
    R.Sent.clear();
    R.Wait(St.TimeoutMs);
    EXPECT_EQ(Hex(R.Sent), "7B FF FD 7D");
    R.Sent.clear();
    R.Wait(St.TimeoutMs);
    EXPECT_EQ(Hex(R.Sent), "7B 01 7D");
    // A narrow tool answers that.
    R.S.Wide = false;
    R.S.Map = MapWith(32, {16});
    Fill(R.S, {16});
    R.RunToEnd();
    EXPECT_EQ(R.P.Result().Error, "");
    EXPECT_FALSE(R.P.Result().Wide);
    EXPECT_EQ(R.P.Result().Retries, 2);
}

TEST(BlockPuller, GivesUpOnASilentToolAndEndsTheFeed)
{
    Rig R;
    BlockPuller::Settings St;
    St.Width = BlockWidth::Wide;
    St.MaxTries = 3;
    R.P.Start(St, R.Now);
    for (int i = 0; i < 10 && R.P.Active(); ++i)
        R.Wait(St.TimeoutMs);
    ASSERT_TRUE(R.P.Finished());
    EXPECT_EQ(R.P.Result().Error, "no answer to the map request");
    EXPECT_EQ(Hex(R.Sent.substr(R.Sent.size() - 4)), "7B FF FF 7D");
}

TEST(BlockPuller, AnEmptyMapIsRefused)
{
    Rig R;
    R.S.Map = MapWith(64, {});
    R.S.Map[0] = '\xFF'; // only the unchecked first bytes
    R.P.Start({}, R.Now);
    R.RunToEnd();
    EXPECT_EQ(R.P.Result().Error, "the map names no block");
}
