// TComPort without a device: properties, the line-settings record built from
// them, and the messages of a closed port.
#include "serial/ComPort.h"

#include <gtest/gtest.h>

namespace
{

class ComPortProps : public ::testing::Test
{
  protected:
    ComPortProps() { Port.SetName("cCom1"); }
    TComPort Port;
};

std::string ErrorText(const std::function<void()>& F)
{
    try {
        F();
    } catch (const std::exception& E) {
        return E.what();
    }
    return "(nothing raised)";
}

} // namespace

TEST_F(ComPortProps, DefaultsAndTheRecordBuiltFromThem)
{
    EXPECT_FALSE(Port.AutoOpen());
    EXPECT_EQ(Port.BaudRate(), br115200);
    EXPECT_EQ(Port.ComNumber(), 0);
    EXPECT_EQ(Port.Databits(), db8);
    EXPECT_TRUE(Port.DTR());
    EXPECT_EQ(Port.EventThreadPriority(), tpNormal);
    EXPECT_EQ(Port.FlowControl(), fwNone);
    EXPECT_EQ(Port.InBufSize(), 4096);
    EXPECT_TRUE(Port.Options().empty());
    EXPECT_EQ(Port.OutBufSize(), 2048);
    EXPECT_TRUE(Port.RaiseErrors());
    EXPECT_EQ(Port.Parity(), paNone);
    EXPECT_TRUE(Port.RTS());
    EXPECT_EQ(Port.Stopbits(), sbOne);
    EXPECT_EQ(Port.UserBaudRate(), 0);
    EXPECT_EQ(Port.WriteThreadPriority(), tpHighest);
    EXPECT_EQ(Port.XOnChar(), 17);
    EXPECT_EQ(Port.XOffChar(), 19);
    EXPECT_FALSE(Port.Active());
    EXPECT_EQ(Port.Handle(), -1);

    const TDCB& d = Port.DCB();
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, 115200u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.Flags, 0x0001u | 0x0010u | 0x1000u) << "binary, DTR enabled, RTS enabled";
    EXPECT_EQ(d.XonChar, 17);
    EXPECT_EQ(d.XoffChar, 19);
    EXPECT_EQ(d.ErrorChar, 0);
    EXPECT_EQ(d.EofChar, 0);
    EXPECT_EQ(d.EvtChar, 0);
}

TEST_F(ComPortProps, BaudRateAndUserBaudRate)
{
    Port.SetUserBaudRate(57600);
    EXPECT_EQ(Port.BaudRate(), brUser);
    EXPECT_EQ(Port.DCB().BaudRate, 57600u);
    Port.SetBaudRate(br9600);
    EXPECT_EQ(Port.UserBaudRate(), 0);
    EXPECT_EQ(Port.DCB().BaudRate, 9600u);

    const uint32_t expected[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int b = br110; b <= br256000; ++b) {
        Port.SetBaudRate(static_cast<TBaudrate>(b));
        EXPECT_EQ(Port.DCB().BaudRate, expected[b]) << "TBaudrate " << b;
    }
    // brUser keeps the user rate that was set before it.
    Port.SetUserBaudRate(31250);
    Port.SetBaudRate(br300);
    Port.SetBaudRate(brUser);
    EXPECT_EQ(Port.UserBaudRate(), 0);
    EXPECT_EQ(Port.DCB().BaudRate, 0u);
}

TEST_F(ComPortProps, LineFieldsOfTheRecord)
{
    Port.SetDatabits(db5);
    Port.SetParity(paMark);
    Port.SetStopbits(sbOneAndHalf);
    Port.SetXOnChar('A');
    Port.SetXOffChar('B');
    const TDCB& d = Port.DCB();
    EXPECT_EQ(d.ByteSize, 5);
    EXPECT_EQ(d.Parity, MARKPARITY);
    EXPECT_EQ(d.StopBits, ONE5STOPBITS);
    EXPECT_EQ(d.XonChar, 'A');
    EXPECT_EQ(d.XoffChar, 'B');
    Port.SetDatabits(db4);
    EXPECT_EQ(Port.DCB().ByteSize, 4);
}

TEST_F(ComPortProps, FlowControlSetsLimitsAndHandshakeBits)
{
    Port.SetFlowControl(fwRtsCts);
    EXPECT_EQ(Port.XOnLim(), 1024);
    EXPECT_EQ(Port.XOffLim(), 3072);
    // The limits enter the record at the next rebuild.
    Port.SetParity(paOdd);
    EXPECT_EQ(Port.DCB().Flags, 0x2004u | 0x0001u | 0x0010u) << "no RTS-enabled bit under RTS/CTS";
    EXPECT_EQ(Port.DCB().XonLim, 1024);
    EXPECT_EQ(Port.DCB().XoffLim, 3072);

    Port.SetFlowControl(fwDtrDsr);
    EXPECT_EQ(Port.DCB().Flags, 0x0028u | 0x0001u | 0x1000u) << "no DTR-enabled bit under DTR/DSR";
    Port.SetFlowControl(fwXOnXOff);
    EXPECT_EQ(Port.DCB().Flags, 0x0300u | 0x0001u | 0x0010u | 0x1000u);
    Port.SetFlowControl(fwNone);
    EXPECT_EQ(Port.XOnLim(), 0);
    EXPECT_EQ(Port.XOffLim(), 0);
}

TEST_F(ComPortProps, XLimitsComplementEachOtherInSixteenBits)
{
    Port.SetXOnLim(1000);
    EXPECT_EQ(Port.XOffLim(), 4096 - 1000);
    Port.SetXOffLim(100);
    EXPECT_EQ(Port.XOnLim(), 3996);
    Port.SetInBufSize(100);
    Port.SetXOnLim(200);
    EXPECT_EQ(Port.XOffLim(), static_cast<uint16_t>(100 - 200)) << "wraps like a Word";
}

TEST_F(ComPortProps, OptionsAndLineControlBits)
{
    Port.SetOptions({coParityCheck, coStripNull});
    EXPECT_EQ(Port.DCB().Flags, 0x0001u | 0x0002u | 0x0800u | 0x0010u | 0x1000u);
    Port.SetOptions({coDsrSensitivity, coIgnoreXOff, coErrorChar});
    EXPECT_EQ(Port.DCB().Flags, 0x0001u | 0x0040u | 0x0080u | 0x0400u | 0x0010u | 0x1000u);

    // Switching a line off while closed also takes it out of the record, so
    // that the next Open does not raise it again.
    Port.SetOptions({});
    Port.SetDTR(false);
    EXPECT_EQ(Port.DCB().Flags, 0x0001u | 0x1000u);
    Port.SetRTS(false);
    EXPECT_EQ(Port.DCB().Flags, 0x0001u);
    Port.SetDTR(true);
    EXPECT_EQ(Port.DCB().Flags, 0x0001u | 0x0010u);
}

TEST_F(ComPortProps, ApplyDCBReadsEveryField)
{
    TDCB d{};
    d.DCBlength = 28;
    d.BaudRate = 56000;
    d.ByteSize = 7;
    d.Parity = EVENPARITY;
    d.StopBits = TWOSTOPBITS;
    d.Flags = 0x0001 | 0x2004 | 0x0002 | 0x0800;
    d.XonChar = 1;
    d.XoffChar = 2;
    d.XonLim = 10;
    d.XoffLim = 20;
    Port.ApplyDCB(d);
    EXPECT_EQ(Port.BaudRate(), br56000);
    EXPECT_EQ(Port.Databits(), db7);
    EXPECT_EQ(Port.Parity(), paEven);
    EXPECT_EQ(Port.Stopbits(), sbTwo);
    EXPECT_EQ(Port.FlowControl(), fwRtsCts);
    EXPECT_EQ(Port.Options(), (TComOptions{coParityCheck, coStripNull}));
    EXPECT_EQ(Port.XOnChar(), 1);
    EXPECT_EQ(Port.XOffChar(), 2);
    EXPECT_EQ(Port.XOnLim(), 10);
    EXPECT_EQ(Port.XOffLim(), 20);
    EXPECT_EQ(Port.DCB().BaudRate, 56000u);

    // A rate outside the table, fields out of range, all flow bits at once.
    d.BaudRate = 250000;
    d.ByteSize = 9;
    d.Parity = 7;
    d.StopBits = 5;
    d.Flags = 0x0001 | 0x0028 | 0x2004 | 0x0300;
    Port.ApplyDCB(d);
    EXPECT_EQ(Port.BaudRate(), brUser);
    EXPECT_EQ(Port.UserBaudRate(), 250000);
    EXPECT_EQ(Port.Databits(), db8);
    EXPECT_EQ(Port.Parity(), paNone);
    EXPECT_EQ(Port.Stopbits(), sbOne);
    EXPECT_EQ(Port.FlowControl(), fwDtrDsr) << "DTR/DSR is tried first";
    EXPECT_EQ(Port.DCB().BaudRate, 250000u);

    d.BaudRate = 9600;
    d.Flags = 0x0001 | 0x0100; // only half of XON/XOFF
    Port.ApplyDCB(d);
    EXPECT_EQ(Port.BaudRate(), br9600);
    EXPECT_EQ(Port.UserBaudRate(), 0);
    EXPECT_EQ(Port.FlowControl(), fwNone);
}

TEST_F(ComPortProps, ApplyDCBWithABadLength)
{
    TDCB d = Port.DCB();
    d.DCBlength = 27;
    d.BaudRate = 9600;
    EXPECT_EQ(ErrorText([&] { Port.ApplyDCB(d); }), "Error setting parameters from DCB - cCom1 ");
    EXPECT_EQ(Port.BaudRate(), br115200) << "raised before anything was taken";
    Port.SetRaiseErrors(false);
    Port.ApplyDCB(d);
    EXPECT_EQ(Port.BaudRate(), br9600) << "without RaiseErrors it goes on";
    EXPECT_EQ(Port.DCB().DCBlength, 28u) << "the rebuilt record is well-formed again";
}

TEST_F(ComPortProps, ClosedPortMessages)
{
    EXPECT_EQ(ErrorText([&] { Port.WriteString("12345"); }),
              "Write data error [requested: 5, free: 0] - cCom1 ");
    EXPECT_EQ(ErrorText([&] { Port.WriteData("x", 0); }),
              "Write data error [requested: 0, free: 0] - cCom1 ");
    EXPECT_EQ(ErrorText([&] { Port.WriteString(""); }), "(nothing raised)");
    EXPECT_EQ(ErrorText([&] { Port.ReadChar(); }), "Read data error - cCom1 ");
    EXPECT_EQ(Port.ReadString(), "");
    EXPECT_EQ(Port.InBufUsed(), 0);
    EXPECT_EQ(Port.OutBufFree(), 0);

    Port.SetRaiseErrors(false);
    EXPECT_NO_THROW(Port.WriteString("12345"));
    EXPECT_EQ(Port.ReadChar(), '\0');
}

TEST_F(ComPortProps, OpenFailuresIgnoreRaiseErrors)
{
    int opened = 0, closed = 0;
    Port.OnPortOpen = [&](TComPort*) { ++opened; };
    Port.OnPortClose = [&](TComPort*) { ++closed; };
    Port.SetRaiseErrors(false);
    try {
        Port.Open();
        FAIL() << "Open of COM0 succeeded";
    } catch (const EComPortCoreError& E) {
        EXPECT_STREQ(E.what(), "Invalid port number (COM0)");
    }
    EXPECT_EQ(opened, 0);
    EXPECT_FALSE(Port.Active());
    Port.Close();
    EXPECT_EQ(closed, 1) << "Close on a closed port fires OnPortClose";
}

TEST_F(ComPortProps, SenderIsThePort)
{
    TComPort* sender = nullptr;
    Port.OnPortClose = [&](TComPort* S) { sender = S; };
    Port.Close();
    EXPECT_EQ(sender, &Port);
}

TEST_F(ComPortProps, ConfigDialogWithoutTheWidgetLayer)
{
    TCustomComPort::SetConfigDialogHook(nullptr);
    EXPECT_FALSE(Port.ExecuteConfigDialog());
    TCustomComPort::SetConfigDialogHook([](TCustomComPort*, TDCB& Rec) {
        Rec.BaudRate = 57600;
        return true;
    });
    EXPECT_TRUE(Port.ExecuteConfigDialog());
    EXPECT_EQ(Port.BaudRate(), br57600);
    TCustomComPort::SetConfigDialogHook([](TCustomComPort*, TDCB& Rec) {
        Rec.BaudRate = 300;
        return false;
    });
    EXPECT_FALSE(Port.ExecuteConfigDialog());
    EXPECT_EQ(Port.BaudRate(), br57600) << "a cancelled dialog changes nothing";
    TCustomComPort::SetConfigDialogHook(nullptr);
}

TEST_F(ComPortProps, FreeNotificationOnDestruction)
{
    auto p = std::make_unique<TComPort>();
    TComponent* told = nullptr;
    int key = 0;
    p->AddFreeNotification(&key, [&](TComponent* C) { told = C; });
    TComPort* raw = p.get();
    p.reset();
    EXPECT_EQ(told, raw);
}
