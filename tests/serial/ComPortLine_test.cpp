// TComPort on a real pty: opening, line settings as the device side sees
// them, writes, received bytes in the main thread, hang-ups and closing
// while the event thread waits for the main thread.
#include "serial/AppException.h"
#include "serial/ComPort.h"

#include "TestPty.h"
#include "tests/common/QtWait.h"

#include <QElapsedTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <thread>

namespace
{

class ComPortLine : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        Dir.Link(5, Pty.SlavePath);
        Port = std::make_unique<TComPort>();
        Port->SetName("cCom1");
        Port->SetComNumber(5);
        SetApplicationExceptionHandler([this](const std::exception& E) { Reported.push_back(E.what()); });
    }
    void TearDown() override
    {
        Port.reset();
        SetApplicationExceptionHandler(nullptr);
    }

    std::string ErrorText(const std::function<void()>& F)
    {
        try {
            F();
        } catch (const std::exception& E) {
            return E.what();
        }
        return "(nothing raised)";
    }

    TTestComDir Dir;
    TTestPty Pty;
    std::unique_ptr<TComPort> Port;
    std::vector<std::string> Reported;
};

} // namespace

// --- opening and closing ---------------------------------------------------

TEST_F(ComPortLine, OpenAndCloseEventsInOrder)
{
    std::vector<std::string> log;
    Port->OnPortOpen = [&](TComPort*) { log.push_back("open"); };
    Port->OnPortClose = [&](TComPort*) { log.push_back("close"); };

    Port->Close();
    EXPECT_EQ(log, (std::vector<std::string>{"close"}));
    Port->Open();
    EXPECT_TRUE(Port->Active());
    EXPECT_GE(Port->Handle(), 0);
    Port->Open();
    Port->SetComNumber(5);
    EXPECT_EQ(log, (std::vector<std::string>{"close", "open"}))
        << "Open when open and the same number do nothing";

    TTestPty other;
    Dir.Link(6, other.SlavePath);
    Port->SetComNumber(6);
    EXPECT_EQ(log, (std::vector<std::string>{"close", "open", "close", "open"}));
    EXPECT_TRUE(Port->Active());
    std::string got;
    Port->OnDataRecived = [&](TComPort* S, int32_t) { got += S->ReadString(); };
    other.Write("on six");
    ASSERT_TRUE(WaitFor([&] { return got.size() >= 6; }));
    EXPECT_EQ(got, "on six");

    Port->Close();
    EXPECT_FALSE(Port->Active());
    EXPECT_EQ(Port->Handle(), -1);
    EXPECT_EQ(log.back(), "close");
    // The first pty was let go when the number changed: it can be opened again.
    TComPort again;
    again.SetComNumber(5);
    EXPECT_NO_THROW(again.Open());
}

TEST_F(ComPortLine, MissingPorts)
{
    int opened = 0;
    Port->OnPortOpen = [&](TComPort*) { ++opened; };
    Port->SetRaiseErrors(false);
    Port->SetComNumber(7);
    EXPECT_EQ(ErrorText([&] { Port->Open(); }), "Invalid port number (COM7)");
    Dir.Link(8, "/dev/pts/999999");
    Port->SetComNumber(8);
    EXPECT_EQ(ErrorText([&] { Port->Open(); }), "Invalid port number (COM8)") << "a dangling link";
    Port->SetDevicePath("/nonexistent/ttyUSB9");
    EXPECT_EQ(ErrorText([&] { Port->Open(); }), "Invalid port number (/nonexistent/ttyUSB9)");
    EXPECT_EQ(opened, 0);
    EXPECT_FALSE(Port->Active());
}

TEST_F(ComPortLine, BusyPorts)
{
    TComPort first;
    first.SetComNumber(5);
    first.Open();
    EXPECT_EQ(ErrorText([&] { Port->Open(); }), "Can't open device COM5") << "held by another port";
    first.Close();
    EXPECT_NO_THROW(Port->Open());
    Port->Close();

    // Another program that locks the device.
    const int other = ::open(Pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ErrorText([&] { Port->Open(); }), "Can't open device COM5");
    ::close(other);
    EXPECT_NO_THROW(Port->Open());

    // Not a terminal at all.
    const std::string file = Dir.Dir + "/plain";
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    Dir.Link(9, file);
    TComPort p9;
    p9.SetComNumber(9);
    EXPECT_EQ(ErrorText([&] { p9.Open(); }), "Can't open device COM9");
}

TEST_F(ComPortLine, DevicePathOpensWithoutThePortMap)
{
    Port->SetComNumber(0);
    Port->SetDevicePath(Pty.SlavePath);
    Port->Open();
    ASSERT_TRUE(Port->Active());
    Port->WriteString("direct");
    EXPECT_EQ(Pty.Read(6), "direct");
    EXPECT_EQ(Port->PortName(), Pty.SlavePath);
    // Changing it while open reopens, and a bad path leaves the port closed.
    EXPECT_EQ(ErrorText([&] { Port->SetDevicePath("/nonexistent/tty"); }),
              "Invalid port number (/nonexistent/tty)");
    EXPECT_FALSE(Port->Active());
}

TEST_F(ComPortLine, BufferSizesOnlyWhileClosed)
{
    Port->Open();
    EXPECT_EQ(ErrorText([&] { Port->SetInBufSize(8192); }), "Port is not closed - cCom1 ");
    EXPECT_EQ(Port->InBufSize(), 4096);
    EXPECT_EQ(ErrorText([&] { Port->SetOutBufSize(100); }), "Port is not closed - cCom1 ");
    EXPECT_EQ(Port->OutBufSize(), 2048);
    Port->SetRaiseErrors(false);
    Port->SetOutBufSize(100);
    EXPECT_EQ(Port->OutBufSize(), 100) << "stored for the next Open";
    EXPECT_EQ(Port->OutBufFree(), 2048);
    Port->Close();
    Port->Open();
    EXPECT_EQ(Port->OutBufFree(), 100);
}

// --- line settings -----------------------------------------------------------

TEST_F(ComPortLine, StandardRatesAndRawModeSeenFromTheDevice)
{
    Port->SetBaudRate(br9600);
    Port->Open();
    termios t = Pty.Settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);

    Port->SetBaudRate(br57600); // applied at once while open
    t = Pty.Settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    unsigned in = 0, out = 0;
    ASSERT_TRUE(MasterRate(Pty.Master, in, out));
    EXPECT_EQ(in, 57600u);
    EXPECT_EQ(out, 57600u);

    Port->SetStopbits(sbTwo);
    EXPECT_NE(Pty.Settings().c_cflag & CSTOPB, 0u);
    Port->SetStopbits(sbOne);
    EXPECT_EQ(Pty.Settings().c_cflag & CSTOPB, 0u);
    Port->SetFlowControl(fwXOnXOff);
    EXPECT_EQ(Pty.Settings().c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    Port->SetFlowControl(fwRtsCts);
    EXPECT_NE(Pty.Settings().c_cflag & CRTSCTS, 0u);
}

TEST_F(ComPortLine, NonStandardRates)
{
    unsigned in = 0, out = 0;
    Port->SetBaudRate(br14400);
    Port->Open();
    ASSERT_TRUE(MasterRate(Pty.Master, in, out));
    EXPECT_EQ(in, 14400u);
    EXPECT_EQ(out, 14400u);

    Port->SetUserBaudRate(250000);
    ASSERT_TRUE(MasterRate(Pty.Master, in, out));
    EXPECT_EQ(out, 250000u);
    EXPECT_EQ(in, 250000u);

    // Back to a standard rate: the input rate must not stay behind.
    Port->SetBaudRate(br57600);
    ASSERT_TRUE(MasterRate(Pty.Master, in, out));
    EXPECT_EQ(out, 57600u);
    EXPECT_EQ(in, 57600u);

    // Set before opening, applied by the open.
    Port->Close();
    Port->SetBaudRate(br128000);
    Port->Open();
    ASSERT_TRUE(MasterRate(Pty.Master, in, out));
    EXPECT_EQ(out, 128000u);
}

TEST_F(ComPortLine, SettingsTheLineCannotTakeAreRefused)
{
    Port->SetBaudRate(br57600);
    Port->Open();
    // A pty forces 8 data bits and no parity, so it refuses 7 bits and parity
    // the way a driver refuses a record.
    EXPECT_EQ(ErrorText([&] { Port->SetDatabits(db7); }), "Error setting parameters from DCB");
    EXPECT_EQ(Port->Databits(), db7) << "the property keeps its new value";
    EXPECT_EQ(Port->DCB().ByteSize, 8) << "the record holds what the device kept";
    termios t = Pty.Settings();
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600)) << "old settings kept";
    Port->SetDatabits(db8);
    EXPECT_EQ(Port->DCB().ByteSize, 8);

    EXPECT_EQ(ErrorText([&] { Port->SetParity(paEven); }), "Error setting parameters from DCB");
    EXPECT_EQ(Port->DCB().Parity, NOPARITY);
    Port->SetParity(paNone);

    // Nothing a termios line can do.
    EXPECT_EQ(ErrorText([&] { Port->SetStopbits(sbOneAndHalf); }), "Error setting parameters from DCB");
    Port->SetStopbits(sbOne);
    EXPECT_EQ(ErrorText([&] { Port->SetFlowControl(fwDtrDsr); }), "Error setting parameters from DCB");
    Port->SetFlowControl(fwNone);
    EXPECT_EQ(ErrorText([&] { Port->SetUserBaudRate(0); }), "(nothing raised)") << "unchanged value";
    EXPECT_EQ(ErrorText([&] { Port->SetBaudRate(brUser); }), "Error setting parameters from DCB")
        << "a user rate of 0";
    EXPECT_TRUE(Port->Active()) << "a refused setting does not close the port";
}

TEST_F(ComPortLine, RefusedSettingsAtOpenLeaveThePortClosed)
{
    int opened = 0;
    Port->OnPortOpen = [&](TComPort*) { ++opened; };
    Port->SetParity(paOdd);
    Port->SetRaiseErrors(false);
    EXPECT_EQ(ErrorText([&] { Port->Open(); }), "Error setting parameters from DCB");
    EXPECT_FALSE(Port->Active());
    EXPECT_EQ(opened, 0);
    Port->SetParity(paNone);
    EXPECT_NO_THROW(Port->Open());
    EXPECT_EQ(opened, 1);
}

// --- writing -------------------------------------------------------------------

TEST_F(ComPortLine, WritesAreAllOrNothing)
{
    Port->SetOutBufSize(16);
    Port->Open();
    // Stopping the line's output keeps everything in the send buffer.
    const int hold = ::open(Pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(hold, 0);
    ASSERT_EQ(tcflow(hold, TCOOFF), 0);

    EXPECT_EQ(Port->OutBufFree(), 16);
    Port->WriteString("0123456789");
    EXPECT_EQ(Port->OutBufFree(), 6);
    EXPECT_EQ(ErrorText([&] { Port->WriteString("abcdefg"); }),
              "Write data error [requested: 7, free: 6] - cCom1 ");
    EXPECT_EQ(Port->OutBufFree(), 6) << "nothing of a refused write is queued";
    Port->WriteString("uvwxyz");
    EXPECT_EQ(Port->OutBufFree(), 0) << "a write of exactly the free size";
    Port->SetRaiseErrors(false);
    Port->WriteString("!");

    int outFree = 0;
    Port->OnOutBufFree = [&](TComPort*) { ++outFree; };
    ASSERT_EQ(tcflow(hold, TCOON), 0);
    EXPECT_EQ(Pty.Read(16), "0123456789uvwxyz");
    EXPECT_EQ(Pty.Read(1, 300), "") << "the refused bytes never went out";
    EXPECT_TRUE(WaitFor([&] { return outFree > 0; }));
    EXPECT_EQ(Port->OutBufFree(), 16);
    ::close(hold);
}

TEST_F(ComPortLine, LargeWritesGoOutInOrder)
{
    Port->SetOutBufSize(4096);
    Port->Open();
    std::string sent;
    for (int i = 0; i < 100000; ++i)
        sent += static_cast<char>('A' + i % 23);
    std::string received;
    std::thread reader([&] { received = Pty.Read(sent.size(), 60000); });
    size_t pos = 0;
    Port->OnOutBufFree = [&](TComPort* S) {
        const size_t n = std::min<size_t>(static_cast<size_t>(S->OutBufFree()), sent.size() - pos);
        S->WriteString(sent.substr(pos, n));
        pos += n;
    };
    Port->WriteString(sent.substr(0, 1000));
    pos = 1000;
    EXPECT_TRUE(WaitFor([&] { return pos == sent.size(); }, 60000));
    reader.join();
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent) << "bytes lost or reordered";
}

// --- settings changes behind queued bytes ------------------------------------
// The device side holds off reading, so the pty fills and the rest of the
// bytes waits in the send buffer; every change then has to wait for them.

namespace
{
// Bytes that say which segment of a stream they belong to.
std::string Segment(char First, size_t Size)
{
    std::string s(Size, '\0');
    for (size_t i = 0; i < Size; ++i)
        s[i] = static_cast<char>(First + i % 7);
    return s;
}
} // namespace

TEST_F(ComPortLine, RateChangesKeepTheirPlaceInTheByteStream)
{
    // Each segment goes out at its own rate; the first is larger than a pty
    // holds. A pty has no drain, so once the bytes before a change sit in
    // it, what keeps the change back is the wire time of LineBacklog bytes
    // (about 90 ms at 115200): the device reads as fast as it can, as devsim
    // does and as a real device keeps pace with its line.
    const unsigned rates[3] = {115200, 57600, 38400};
    const std::string seg[3] = {Segment('a', 40000), Segment('j', 4000), Segment('s', 500)};
    Port->SetOutBufSize(1 << 16);
    Port->SetUserBaudRate(static_cast<int32_t>(rates[0]));
    Port->Open();
    Port->WriteString(seg[0]);
    Port->SetUserBaudRate(static_cast<int32_t>(rates[1]));
    Port->WriteString(seg[1]);
    Port->SetUserBaudRate(static_cast<int32_t>(rates[2]));
    Port->WriteString(seg[2]);
    EXPECT_EQ(Port->DCB().BaudRate, rates[2]) << "the port reports the last change at once";
    unsigned in = 0, out = 0;
    ASSERT_TRUE(MasterRate(Pty.Master, in, out));
    EXPECT_EQ(out, rates[0]) << "nothing read yet, so no change reached the line";

    auto segmentOfRate = [&](unsigned Rate) {
        for (int i = 0; i < 3; ++i)
            if (rates[i] == Rate)
                return i;
        return -1;
    };
    auto segmentOfByte = [&](size_t Pos) {
        return Pos < seg[0].size() ? 0 : Pos < seg[0].size() + seg[1].size() ? 1 : 2;
    };
    const std::string all = seg[0] + seg[1] + seg[2];
    std::string got;
    std::vector<std::string> faults;
    std::atomic<bool> done{false};
    // The device looks at the rate around each read.
    std::thread device([&] {
        while (got.size() < all.size()) {
            unsigned i0 = 0, o0 = 0, i1 = 0, o1 = 0;
            MasterRate(Pty.Master, i0, o0);
            const size_t from = got.size();
            got += Pty.Read(std::min<size_t>(1024, all.size() - got.size()), 20000);
            MasterRate(Pty.Master, i1, o1);
            if (got.size() == from) {
                faults.push_back("no bytes after " + std::to_string(from));
                break;
            }
            const int first = segmentOfByte(from), last = segmentOfByte(got.size() - 1);
            if (segmentOfRate(o0) < 0 || segmentOfRate(o0) > first)
                faults.push_back("rate " + std::to_string(o0) + " before byte " + std::to_string(from) +
                                 " of segment " + std::to_string(first) + " was read");
            if (segmentOfRate(o1) < last)
                faults.push_back("byte " + std::to_string(got.size() - 1) + " of segment " +
                                 std::to_string(last) + " came at rate " + std::to_string(o1));
        }
        done = true;
    });
    EXPECT_TRUE(WaitFor([&] { return done.load(); }, 60000));
    device.join();
    EXPECT_TRUE(faults.empty()) << faults.front();
    EXPECT_TRUE(got == all) << "bytes lost or reordered: " << got.size() << " of " << all.size();
    ASSERT_TRUE(MasterRate(Pty.Master, in, out));
    EXPECT_EQ(out, rates[2]);
    EXPECT_EQ(in, rates[2]);
}

TEST_F(ComPortLine, WaitingChangesRefusedHeldBackOrDroppedAtClose)
{
    Port->SetOutBufSize(1 << 16);
    Port->SetUserBaudRate(921600);
    Port->Open();
    const std::string data = Segment('a', 40000);
    Port->WriteString(data);
    Port->SetUserBaudRate(460800);
    Port->SetParity(paEven); // a pty keeps no parity
    EXPECT_EQ(Port->DCB().Parity, EVENPARITY) << "reported at once";
    EXPECT_EQ(Port->DCB().BaudRate, 460800u);
    Port->WriteString("tail");
    const std::string got = Pty.Read(data.size() + 4, 20000);
    EXPECT_TRUE(got == data + "tail") << got.size() << " bytes";

    ASSERT_TRUE(WaitFor([&] { return !Reported.empty(); }));
    EXPECT_EQ(Reported, std::vector<std::string>{"Error setting parameters from DCB"});
    EXPECT_EQ(Port->DCB().Parity, NOPARITY) << "what the line kept";
    EXPECT_EQ(Port->Parity(), paNone);
    EXPECT_EQ(Port->DCB().BaudRate, 460800u) << "the change before it was applied";
    EXPECT_EQ(Port->UserBaudRate(), 460800);
    unsigned in = 0, out = 0;
    ASSERT_TRUE(MasterRate(Pty.Master, in, out));
    EXPECT_EQ(out, 460800u);
    EXPECT_TRUE(Port->Active());

    // Bytes that only the line still carries (the send buffer is empty)
    // hold a change back too, and bytes written behind it must not slip past
    // it to the driver.
    Port->SetUserBaudRate(9600);
    EXPECT_TRUE(WaitFor([&] { return MasterRate(Pty.Master, in, out) && out == 9600u; }));
    const std::string slow = Segment('k', 300); // about 0.3 s on the line
    Port->WriteString(slow);
    Port->SetUserBaudRate(19200);
    Port->WriteString("after");
    EXPECT_EQ(Pty.Read(slow.size()), slow);
    EXPECT_EQ(Pty.Read(5), "after");
    ASSERT_TRUE(MasterRate(Pty.Master, in, out));
    EXPECT_EQ(out, 19200u) << "bytes written behind a change come after it";

    // A burst the link takes faster than its rate (this reader keeps up, as a
    // USB device that ignores the rate would): 20 s of wire time at 19200,
    // yet the change behind it waits only for what a drained line may still
    // be sending.
    Port->WriteString(data);
    Port->SetUserBaudRate(38400);
    EXPECT_TRUE(Pty.Read(data.size()) == data);
    EXPECT_TRUE(WaitFor([&] { return MasterRate(Pty.Master, in, out) && out == 38400u; }, 10000)) << out;

    // A change still waiting at Close goes with the unsent bytes; the next
    // Open applies the port's record.
    Port->WriteString(data);
    Port->SetUserBaudRate(230400);
    Port->Close();
    ASSERT_TRUE(MasterRate(Pty.Master, in, out));
    EXPECT_EQ(out, 38400u);
    Port->Open();
    ASSERT_TRUE(MasterRate(Pty.Master, in, out));
    EXPECT_EQ(out, 230400u);
}

// --- receiving -----------------------------------------------------------------

TEST_F(ComPortLine, ReceivedBytesReachTheMainThreadWithTheirCount)
{
    const auto mainId = std::this_thread::get_id();
    std::vector<int32_t> counts;
    std::string got;
    bool allInMain = true;
    Port->OnDataRecived = [&](TComPort* S, int32_t Count) {
        allInMain = allInMain && std::this_thread::get_id() == mainId;
        counts.push_back(Count);
        got += S->ReadString();
    };
    Port->Open();
    Pty.Write("hello");
    ASSERT_TRUE(WaitFor([&] { return got.size() >= 5; }));
    EXPECT_EQ(got, "hello");
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts.front(), 5);
    EXPECT_TRUE(allInMain);

    // A stream, read byte by byte as the main window does.
    std::string stream;
    for (int i = 0; i < 20000; ++i)
        stream += static_cast<char>(i * 7);
    got.clear();
    Port->OnDataRecived = [&](TComPort* S, int32_t) {
        while (S->InBufUsed() > 0)
            got += S->ReadChar();
    };
    std::thread writer([&] { Pty.Write(stream); });
    EXPECT_TRUE(WaitFor([&] { return got.size() >= stream.size(); }, 60000));
    writer.join();
    EXPECT_TRUE(got == stream) << got.size() << " of " << stream.size() << " bytes, or changed";
}

TEST_F(ComPortLine, BytesLeftUnreadAreAnnouncedAgainByThePoll)
{
    std::vector<int32_t> counts;
    std::vector<TCoreEvent> kinds;
    Port->OnDataRecived = [&](TComPort*, int32_t Count) { counts.push_back(Count); };
    Port->OnSyncEvent = [&](TComPort*, TCoreEvent K, uint32_t) { kinds.push_back(K); };
    Port->Open();
    Pty.Write("abc");
    ASSERT_TRUE(WaitFor([&] { return counts.size() >= 3; }, 10000));
    for (int32_t c : counts)
        EXPECT_EQ(c, 3);
    EXPECT_EQ(kinds.front(), ceCommEvent);
    EXPECT_EQ(kinds.back(), ceDataReceived);

    // New bytes behind unread ones are still announced.
    Pty.Write("de");
    ASSERT_TRUE(WaitFor([&] { return counts.back() == 5; }, 10000));
    EXPECT_EQ(Port->ReadString(), "abcde");
    Pump(300); // an announcement already on its way may still arrive
    const size_t n = counts.size();
    Pump(600);
    EXPECT_EQ(counts.size(), n) << "an empty queue is not announced";
}

TEST_F(ComPortLine, IdlePortStaysAsleep)
{
    Port->Open();
    const uint64_t w0 = Port->Core()->EventThreadWakeups();
    QElapsedTimer t;
    t.start();
    Pump(1000);
    const uint64_t idle = Port->Core()->EventThreadWakeups() - w0;
    // The quiet-line poll runs every 200 ms; a loaded machine only stretches it.
    EXPECT_LE(idle, static_cast<uint64_t>(t.elapsed() / 100 + 3)) << idle << " wake-ups";

    // Bytes the owner leaves unread do not make it spin either.
    int announced = 0;
    Port->OnDataRecived = [&](TComPort*, int32_t) { ++announced; };
    Pty.Write("unread");
    ASSERT_TRUE(WaitFor([&] { return announced > 0; }));
    const uint64_t w1 = Port->Core()->EventThreadWakeups();
    t.restart();
    Pump(1000);
    const uint64_t unread = Port->Core()->EventThreadWakeups() - w1;
    EXPECT_LE(unread, static_cast<uint64_t>(t.elapsed() / 100 + 3)) << unread << " wake-ups";
}

TEST_F(ComPortLine, HandlerExceptionsAreReportedAndThePortGoesOn)
{
    int calls = 0;
    Port->OnDataRecived = [&](TComPort* S, int32_t) {
        S->ReadString();
        if (++calls == 1)
            throw std::runtime_error("handler failed");
    };
    Port->Open();
    Pty.Write("a");
    ASSERT_TRUE(WaitFor([&] { return !Reported.empty(); }));
    EXPECT_EQ(Reported.front(), "handler failed");
    Pty.Write("b");
    EXPECT_TRUE(WaitFor([&] { return calls >= 2; }));
    EXPECT_EQ(Reported.size(), 1u);
}

TEST_F(ComPortLine, NonSyncEventsRunInTheEventThreadInstead)
{
    const auto mainId = std::this_thread::get_id();
    std::atomic<int> nonSync{0};
    std::atomic<bool> inMain{false};
    std::atomic<int> firstKind{-1};
    int mainThreadEvents = 0;
    Port->OnNonSyncEvent = [&](TComPort*, TCoreEvent K, uint32_t) {
        if (std::this_thread::get_id() == mainId)
            inMain = true;
        int none = -1;
        firstKind.compare_exchange_strong(none, K);
        ++nonSync;
    };
    Port->OnDataRecived = [&](TComPort*, int32_t) { ++mainThreadEvents; };
    Port->OnSyncEvent = [&](TComPort*, TCoreEvent, uint32_t) { ++mainThreadEvents; };
    Port->Open();
    Pty.Write("q");
    ASSERT_TRUE(WaitFor([&] { return nonSync > 0; }));
    Pump(300);
    EXPECT_FALSE(inMain);
    EXPECT_EQ(firstKind, ceCommEvent);
    EXPECT_EQ(mainThreadEvents, 0);
    EXPECT_EQ(Port->ReadString(), "q");
}

// --- hang-up and closing -----------------------------------------------------

TEST_F(ComPortLine, HangUpIsReportedOnceAndThePortCanBeReopened)
{
    int exceptionEvents = 0;
    Port->OnSyncEvent = [&](TComPort*, TCoreEvent K, uint32_t) {
        if (K == ceException)
            ++exceptionEvents;
    };
    Port->Open();
    Pty.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return !Reported.empty(); }));
    EXPECT_NE(Reported.front().find("COM5"), std::string::npos) << Reported.front();
    EXPECT_NE(Reported.front().find("hung up"), std::string::npos) << Reported.front();
    const uint64_t w0 = Port->Core()->EventThreadWakeups();
    Pump(600);
    EXPECT_EQ(Reported.size(), 1u) << "reported once";
    EXPECT_EQ(exceptionEvents, 1);
    EXPECT_LE(Port->Core()->EventThreadWakeups() - w0, 2u) << "the event thread does not spin on the hang-up";
    EXPECT_TRUE(Port->HungUp());

    // The dead port stays usable for its owner until it closes it.
    EXPECT_TRUE(Port->Active());
    Port->SetRaiseErrors(false);
    EXPECT_NO_THROW(Port->WriteString("lost"));
    EXPECT_EQ(Port->ReadString(), "");
    EXPECT_EQ(Port->InBufUsed(), 0);
    Port->Close();
    EXPECT_FALSE(Port->Active());
    EXPECT_FALSE(Port->HungUp());

    // The device comes back (a new pty behind the same number).
    TTestPty back;
    Dir.Link(5, back.SlavePath);
    Port->Open();
    EXPECT_FALSE(Port->HungUp());
    std::string got;
    Port->OnDataRecived = [&](TComPort* S, int32_t) { got += S->ReadString(); };
    back.Write("again");
    ASSERT_TRUE(WaitFor([&] { return got.size() >= 5; }));
    EXPECT_EQ(got, "again");
    Port->WriteString("ok");
    EXPECT_EQ(back.Read(2), "ok");
}

TEST_F(ComPortLine, AHangUpHandlerTakesTheHangUpInsteadOfTheExceptionHandler)
{
    std::vector<std::string> HangUps;
    Port->OnHangUp = [&](TComPort* S, const std::string& Message) {
        HangUps.push_back(Message);
        S->Close(); // the owner may let go of the dead port right here
    };
    Port->Open();
    Pty.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return !HangUps.empty(); }));
    Pump(300);
    ASSERT_EQ(HangUps.size(), 1u);
    EXPECT_NE(HangUps[0].find("COM5 lost: the device hung up"), std::string::npos) << HangUps[0];
    EXPECT_TRUE(Reported.empty()) << Reported.front();
    EXPECT_FALSE(Port->Active());

    // Other errors still reach the exception handler.
    Dir.Link(5, "/nonexistent/tty");
    EXPECT_THROW(Port->Open(), std::exception);
}

// A program with several ports learns whose exception it handles: what a
// port's handler raises, and what its threads report, belong to that port.
TEST_F(ComPortLine, ExceptionsBelongToThePortThatRaisedThem)
{
    std::vector<const void*> Owners;
    SetApplicationExceptionHandler([&](const std::exception& E) {
        Reported.push_back(E.what());
        Owners.push_back(ExceptionOwner());
    });
    TTestPty SixPty;
    Dir.Link(6, SixPty.SlavePath);
    TComPort Six;
    Six.SetComNumber(6);
    Six.OnDataRecived = [](TComPort* S, int32_t) {
        S->ReadString();
        throw std::runtime_error("six failed");
    };
    Port->Open();
    Six.Open();
    SixPty.Write("x");
    ASSERT_TRUE(WaitFor([&] { return !Reported.empty(); }));
    EXPECT_EQ(Reported.front(), "six failed");
    EXPECT_EQ(Owners.front(), static_cast<const void*>(&Six));

    Pty.CloseMaster(); // the hang-up of COM 5, found by its thread
    ASSERT_TRUE(WaitFor([&] { return Reported.size() >= 2; }));
    EXPECT_NE(Reported[1].find("COM5 lost"), std::string::npos) << Reported[1];
    EXPECT_EQ(Owners[1], static_cast<const void*>(Port.get()));
    EXPECT_EQ(ExceptionOwner(), nullptr) << "a scope outlived its event";
}

TEST_F(ComPortLine, OpenAfterAHangUpStartsOnTheRepluggedDevice)
{
    Port->Open();
    Pty.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return Port->HungUp(); }));
    Reported.clear();

    // Re-plugged without a Close in between: Open must not keep the dead descriptor.
    TTestPty back;
    Dir.Link(5, back.SlavePath);
    const int dead = Port->Handle();
    Port->Open();
    EXPECT_TRUE(Port->Active());
    EXPECT_FALSE(Port->HungUp());
    EXPECT_NO_THROW(Port->SetBaudRate(br57600)) << "the new descriptor takes settings";
    std::string got;
    Port->OnDataRecived = [&](TComPort* S, int32_t) { got += S->ReadString(); };
    back.Write("back");
    ASSERT_TRUE(WaitFor([&] { return got.size() >= 4; })) << "old handle " << dead;
    EXPECT_EQ(got, "back");
    Port->WriteString("yes");
    EXPECT_EQ(back.Read(3), "yes");
    EXPECT_TRUE(Reported.empty()) << Reported.front();

    // Open on a live port is still a no-op: the same descriptor stays.
    const int live = Port->Handle();
    Port->Open();
    EXPECT_EQ(Port->Handle(), live);
}

TEST_F(ComPortLine, HangUpDuringATransfer)
{
    Port->SetOutBufSize(1024);
    Port->Open();
    const std::string block(1024, 'x');
    Port->OnOutBufFree = [&](TComPort* S) { S->WriteString(block.substr(0, S->OutBufFree())); };
    Port->OnDataRecived = [&](TComPort* S, int32_t) { S->ReadString(); };
    Port->WriteString(block);
    std::thread peer([&] {
        Pty.Read(20000, 20000);
        Pty.Write("tail");
        Pty.CloseMaster();
    });
    ASSERT_TRUE(WaitFor([&] { return !Reported.empty(); }, 30000));
    peer.join();
    Pump(300);
    EXPECT_EQ(Reported.size(), 1u);
    Port->Close();
    EXPECT_FALSE(Port->Active());
}

TEST_F(ComPortLine, CloseWhileTheEventThreadWaitsForTheMainThread)
{
    int delivered = 0;
    Port->OnDataRecived = [&](TComPort*, int32_t) { ++delivered; };
    Port->Open();
    const uint64_t w0 = Port->Core()->EventThreadWakeups();
    Pty.Write("zz");
    // Serve no events: the event thread wakes for the bytes and then waits in
    // the call service for this thread.
    for (int i = 0; i < 10000 && Port->Core()->EventThreadWakeups() == w0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Port->Close(); // joins the event thread: must not deadlock
    EXPECT_FALSE(Port->Active());
    Pump(300);
    EXPECT_EQ(delivered, 0) << "an event of the closed port is dropped";

    // The same from inside a handler, and destruction with an event waiting.
    Port->OnDataRecived = [&](TComPort* S, int32_t) {
        ++delivered;
        S->Close();
    };
    Port->Open();
    Pty.Write("y");
    ASSERT_TRUE(WaitFor([&] { return delivered == 1; }));
    EXPECT_FALSE(Port->Active());

    Port->Open();
    const uint64_t w1 = Port->Core()->EventThreadWakeups();
    Pty.Write("x");
    for (int i = 0; i < 10000 && Port->Core()->EventThreadWakeups() == w1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Port.reset();
    Pump(300);
    EXPECT_EQ(delivered, 1);
}
