#include "DevsimTest.h"

#include "util/MyFunctions.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

ToolPort::ToolPort(const std::string& Path, unsigned Rate)
{
    FFd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FFd >= 0)
        SetRate(Rate);
}

ToolPort::~ToolPort()
{
    Close();
}

void ToolPort::Close()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

void ToolPort::SetRate(unsigned Rate)
{
    termios T{};
    if (FFd < 0 || tcgetattr(FFd, &T) != 0)
        return;
    cfmakeraw(&T);
    speed_t S = B9600;
    switch (Rate) {
    case 19200:
        S = B19200;
        break;
    case 38400:
        S = B38400;
        break;
    case 57600:
        S = B57600;
        break;
    case 115200:
        S = B115200;
        break;
    default:
        break;
    }
    cfsetispeed(&T, S);
    cfsetospeed(&T, S);
    tcsetattr(FFd, TCSANOW, &T);
}

void ToolPort::Write(const std::string& B)
{
    std::size_t Done = 0;
    while (FFd >= 0 && Done < B.size()) {
        const ssize_t W = ::write(FFd, B.data() + Done, B.size() - Done);
        if (W > 0)
            Done += static_cast<std::size_t>(W);
        else if (W < 0 && errno == EAGAIN) {
            pollfd P{FFd, POLLOUT, 0};
            ::poll(&P, 1, 100);
        } else
            return;
    }
}

bool ToolPort::ReadUntil(const std::function<bool(const std::string&)>& Done, int TimeoutMs)
{
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Done(Buffer)) {
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(End - std::chrono::steady_clock::now())
                .count();
        if (Left <= 0 || FFd < 0)
            return Done(Buffer);
        pollfd P{FFd, POLLIN, 0};
        if (::poll(&P, 1, static_cast<int>(std::min<long>(Left, 50))) > 0) {
            char B[4096];
            const ssize_t N = ::read(FFd, B, sizeof B);
            if (N > 0)
                Buffer.append(B, static_cast<std::size_t>(N));
            else if (N == 0 || (N < 0 && errno != EAGAIN))
                return Done(Buffer); // hung up
        }
    }
    return true;
}

std::string ToolPort::ReadFor(int Ms)
{
    const std::size_t From = Buffer.size();
    ReadUntil([](const std::string&) { return false; }, Ms);
    return Buffer.substr(From);
}

bool ToolPort::HungUp()
{
    if (FFd < 0)
        return true;
    char B[256];
    for (;;) {
        const ssize_t N = ::read(FFd, B, sizeof B);
        if (N > 0) {
            Buffer.append(B, static_cast<std::size_t>(N));
            continue;
        }
        return N == 0 || (N < 0 && errno == EIO);
    }
}

std::string ToolFrame(uint8_t Cmd, const std::string& Payload)
{
    std::string W = "\x02\x01";
    auto Esc = [&W](uint8_t B) {
        if (B == 0x02 || B == 0x11 || B == 0x13) {
            W += '\x10';
            W += static_cast<char>(B + 1);
        } else if (B == 0x10) {
            W += "\x10\x10";
        } else {
            W += static_cast<char>(B);
        }
    };
    uint8_t Sum = static_cast<uint8_t>(Cmd + Payload.size());
    Esc(Cmd);
    Esc(static_cast<uint8_t>(Payload.size()));
    for (char C : Payload) {
        Sum = static_cast<uint8_t>(Sum + static_cast<uint8_t>(C));
        Esc(static_cast<uint8_t>(C));
    }
    Esc(Sum);
    return W;
}

std::vector<UnitFrame> ParseUnitFrames(const std::string& Bytes)
{
    std::vector<UnitFrame> Out;
    std::size_t i = 0;
    while ((i = Bytes.find('\x02', i)) != std::string::npos) {
        std::size_t p = i + 1;
        // Unescaped values after the address; a bare 02 ends the attempt.
        auto Next = [&](uint8_t& V) {
            if (p >= Bytes.size() || Bytes[p] == '\x02')
                return false;
            uint8_t B = static_cast<uint8_t>(Bytes[p++]);
            if (B == 0x10) {
                if (p >= Bytes.size() || Bytes[p] == '\x02')
                    return false;
                B = static_cast<uint8_t>(Bytes[p++]);
                if (B == 0x03 || B == 0x12 || B == 0x14)
                    B = static_cast<uint8_t>(B - 1);
            }
            V = B;
            return true;
        };
        UnitFrame F;
        if (p >= Bytes.size()) {
            break;
        }
        F.Address = static_cast<uint8_t>(Bytes[p++]);
        uint8_t Len = 0, V = 0;
        bool Good = Next(F.Cmd) && Next(Len);
        uint8_t Sum = static_cast<uint8_t>(F.Cmd + Len);
        for (int k = 0; Good && k < Len; ++k) {
            Good = Next(V);
            F.Payload += static_cast<char>(V);
            Sum = static_cast<uint8_t>(Sum + V);
        }
        Good = Good && Next(V) && V == Sum;
        if (Good) {
            Out.push_back(F);
            i = p;
        } else {
            ++i;
        }
    }
    return Out;
}

std::vector<UnitFrame> FramesOf(const std::string& Bytes, uint8_t Cmd)
{
    std::vector<UnitFrame> Out;
    for (const auto& F : ParseUnitFrames(Bytes))
        if (F.Cmd == Cmd && F.Address == 0x04)
            Out.push_back(F);
    return Out;
}

bool HasUnitFrame(const std::string& Bytes, uint8_t Cmd, std::size_t Count)
{
    return FramesOf(Bytes, Cmd).size() >= Count;
}

std::string ModuleCommand(uint8_t Cmd, const std::string& Payload)
{
    std::string C = std::string("\x00\x2C", 2) + static_cast<char>(Cmd) + Payload;
    C += static_cast<char>(ByteSum(C, true));
    std::string W = "<";
    for (char Ch : C) {
        if (Ch == '\x10')
            W += "\x10\x10";
        else if (Ch == '<')
            W += "\x10\x01";
        else if (Ch == '>')
            W += "\x10\x02";
        else
            W += Ch;
    }
    return W + ">";
}

std::vector<ModuleFrame> ParseModuleFrames(const std::string& Bytes)
{
    std::vector<ModuleFrame> Out;
    bool In = false, Esc = false;
    std::string F;
    for (char Ch : Bytes) {
        if (Ch == '<') {
            In = true;
            Esc = false;
            F.clear();
        } else if (!In) {
            continue;
        } else if (Ch == '>') {
            In = false;
            if (F.size() <= 2)
                continue;
            const uint8_t K = static_cast<uint8_t>(F.back());
            const std::string Body = F.substr(0, F.size() - 1);
            const bool Answer = Body[0] == '\xFF';
            const std::string Summed = Answer ? Body.substr(1) : Body;
            if (static_cast<uint8_t>(ByteSum(Summed, true)) != K)
                continue;
            Out.push_back({Answer, Answer ? Body.substr(1) : Body.substr(2)});
        } else if (Esc) {
            Esc = false;
            F += Ch == '\x01' ? '<' : Ch == '\x02' ? '>' : Ch;
        } else if (Ch == '\x10') {
            Esc = true;
        } else {
            F += Ch;
        }
    }
    return Out;
}

std::string FirmwareServer::Block(int Number) const
{
    if (Number >= 0 && static_cast<std::size_t>(Number) < Blocks.size() && !Blocks[Number].empty())
        return Blocks[Number];
    return std::string(256, '\xFF');
}

std::string FirmwareServer::Frame(int Number, const std::string& Payload) const
{
    std::string F = "{";
    std::string Body;
    if (Wide)
        Body += static_cast<char>((Number >> 8) & 0xFF);
    Body += static_cast<char>(Number & 0xFF);
    Body += static_cast<char>(Payload.size() & 0xFF);
    Body += Payload;
    return F + Body + static_cast<char>(ByteSum(Body, true)) + "}";
}

std::string FirmwareServer::Feed(const std::string& Received)
{
    Pending += Received;
    std::string Reply;
    const std::size_t N = Wide ? 4 : 3;
    std::size_t P;
    while ((P = Pending.find('{')) != std::string::npos && Pending.size() >= P + N) {
        if (Pending[P + N - 1] != '}') {
            Pending.erase(0, P + 1);
            continue;
        }
        const int R = Wide
                          ? (static_cast<uint8_t>(Pending[P + 1]) << 8) | static_cast<uint8_t>(Pending[P + 2])
                          : static_cast<uint8_t>(Pending[P + 1]);
        Pending.erase(0, P + N);
        Requests.push_back(R);
        const int Info = Wide ? 0xFFFD : 1;
        const int End = Wide ? 0xFFFF : 0;
        if (R == End) {
            Ended = true;
        } else if (R == Info) {
            std::string Payload = Map;
            if (Wide) {
                Payload += static_cast<char>(Crc >> 8);
                Payload += static_cast<char>(Crc & 0xFF);
                if (HardwareId) {
                    Payload += static_cast<char>(HardwareId >> 8);
                    Payload += static_cast<char>(HardwareId & 0xFF);
                }
            }
            Reply += Frame(R, Payload);
        } else {
            Reply += Frame(R, Block(R));
        }
    }
    return Reply;
}

uint16_t FirmwareCrc(const std::string& Map, const std::vector<std::string>& Blocks)
{
    auto BlockOf = [&](std::size_t n) {
        return n < Blocks.size() && !Blocks[n].empty() ? Blocks[n] : std::string(256, '\xFF');
    };
    uint16_t Crc = Crc16Text(0xFFFF, Map);
    const bool Double = Map.size() >= 2 && Map[0] == '\x07' && Map[1] == '\xE3';
    for (std::size_t k = 2; k < Map.size(); ++k)
        for (int b = 0; b < 8; ++b)
            if (static_cast<uint8_t>(Map[k]) & (1u << b)) {
                const std::size_t n = 8 * k + static_cast<std::size_t>(b);
                if (Double) {
                    Crc = Crc16Text(Crc, BlockOf(2 * n));
                    Crc = Crc16Text(Crc, BlockOf(2 * n + 1));
                } else {
                    Crc = Crc16Text(Crc, BlockOf(n));
                }
            }
    return Crc;
}

TempFolder::TempFolder()
{
    char T[] = "/tmp/devsim-test-XXXXXX";
    if (::mkdtemp(T))
        FPath = T;
}

TempFolder::~TempFolder()
{
    std::error_code E;
    if (!FPath.empty())
        std::filesystem::remove_all(FPath, E);
}
