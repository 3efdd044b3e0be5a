// The port selector list and the line-settings dialog, over real ptys
// plugged in as COM ports.
#include "serial/AppException.h"
#include "widgets/ComPortConfigDialog.h"
#include "widgets/PortComboBox.h"

#include "serial/PosixSerial.h"
#include "tests/common/QtWait.h"
#include "tests/serial/FakeSysfs.h"
#include "tests/serial/TestPty.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/file.h>

namespace
{

class PortComboBoxTest : public ::testing::Test
{
  protected:
    PortComboBoxTest()
    {
        Dir.Link(1, Free.SlavePath);
        Dir.Link(2, Held.SlavePath);
        Dir.Link(4, "/dev/pts/999999");
        Holder.SetComNumber(2);
        Holder.Open();
    }

    static std::vector<std::string> Texts(const QComboBox& C)
    {
        std::vector<std::string> t;
        for (int i = 0; i < C.count(); ++i)
            t.push_back(C.itemText(i).toStdString());
        return t;
    }

    TTestComDir Dir;
    TTestPty Free, Held;
    TComPort Holder;
};

} // namespace

TEST_F(PortComboBoxTest, DefaultsListTheExistingPortsWhenShown)
{
    TPortComboBox c;
    EXPECT_EQ(c.MaxComPorts(), 4);
    EXPECT_EQ(c.Options(), (TPortCtlOptions{pcCheckExist}));
    EXPECT_EQ(c.ComNumber(), 0);
    EXPECT_EQ(c.ComPort(), nullptr);
    c.show();
    EXPECT_EQ(Texts(c), (std::vector<std::string>{"COM 1", "COM 2"})) << "busy ports are listed too";
    EXPECT_EQ(c.currentIndex(), -1) << "no item is selected after filling";
    EXPECT_EQ(c.ComNumber(), 0);
    EXPECT_EQ(ProbePortState(c.ItemValue(0)), psFree);
    EXPECT_EQ(ProbePortState(c.ItemValue(1)), psInUse);
    EXPECT_TRUE(c.itemData(0, Qt::ToolTipRole).toString().contains(QString::fromStdString(Free.SlavePath)));
}

TEST_F(PortComboBoxTest, OptionsAndMaxComPortsRefill)
{
    TPortComboBox c;
    c.SetOptions({pcCheckExist, pcDisableOpen});
    EXPECT_EQ(Texts(c), (std::vector<std::string>{"COM 1"}));
    c.SetOptions({});
    EXPECT_EQ(Texts(c), (std::vector<std::string>{"COM 1", "COM 2", "COM 3", "COM 4"}));
    EXPECT_EQ(ProbePortState(c.ItemValue(3)), psMissing) << "absent ports are probed all the same";
    c.SetMaxComPorts(12);
    EXPECT_EQ(c.count(), 12);
    EXPECT_EQ(c.itemText(9).toStdString(), "COM 10");
    c.SetMaxComPorts(0);
    EXPECT_EQ(c.count(), 0);
    c.SelectPort();
    EXPECT_EQ(c.ComNumber(), 0);
    c.SetMaxComPorts(-5);
    EXPECT_EQ(c.count(), 0);
}

TEST_F(PortComboBoxTest, SelectPortFallsBackToTheFirstItem)
{
    TPortComboBox c;
    c.UpdatePortList();
    c.SetComNumber(2);
    EXPECT_EQ(c.currentText().toStdString(), "COM 2");
    c.SetComNumber(3); // not listed
    EXPECT_EQ(c.currentIndex(), 0);
    EXPECT_EQ(c.ComNumber(), 1);
}

TEST_F(PortComboBoxTest, BusyPortsAreGreyWhenDroppedDown)
{
    TPortComboBox c;
    c.SetOptions({pcCheckExist, pcHighlightOpen});
    ASSERT_EQ(c.count(), 2);
    const QColor grey = c.palette().color(QPalette::Disabled, QPalette::Text);
    const QColor normal = c.palette().color(QPalette::Active, QPalette::ButtonText);
    EXPECT_EQ(c.ItemTextColor(1, false, true), grey);
    EXPECT_EQ(c.ItemTextColor(0, false, true), normal);
    EXPECT_FALSE(c.ItemTextColor(1, true, true).isValid()) << "the selected item keeps the style's colour";
    EXPECT_FALSE(c.ItemTextColor(1, false, false).isValid()) << "only in the dropped-down list";
    c.SetOptions({pcCheckExist});
    EXPECT_FALSE(c.ItemTextColor(1, false, true).isValid()) << "without pcHighlightOpen";
    c.SetOptions({pcHighlightOpen});
    EXPECT_FALSE(c.ItemTextColor(3, false, true).isValid()) << "an absent port keeps its colour";

    const int h = c.ItemHeight();
    QFont f = c.font();
    f.setPointSize(f.pointSize() * 2);
    c.setFont(f);
    EXPECT_GT(c.ItemHeight(), h);
    EXPECT_EQ(c.ItemHeight(), QFontMetrics(f).height() + 5);
}

TEST_F(PortComboBoxTest, PickingAPortDrivesTheComPort)
{
    TComPort port;
    port.SetComNumber(1);
    int opened = 0, closed = 0;
    port.OnPortOpen = [&](TComPort*) { ++opened; };
    port.OnPortClose = [&](TComPort*) { ++closed; };
    Holder.Close();

    TPortComboBox c;
    c.UpdatePortList();
    c.SetComPort(&port);
    EXPECT_EQ(c.ComNumber(), 1);
    EXPECT_EQ(c.currentText().toStdString(), "COM 1");
    int changes = 0;
    c.OnChange = [&](TPortComboBox* S) {
        EXPECT_EQ(S, &c);
        ++changes;
    };

    port.SetAutoOpen(true);
    c.setCurrentIndex(1);
    c.Change();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(c.ComNumber(), 2);
    EXPECT_EQ(port.ComNumber(), 2);
    EXPECT_TRUE(port.Active()) << "AutoOpen opens the port";
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(c.currentText().toStdString(), "COM 2") << "selection restored after the refill";
    EXPECT_EQ(ProbePortState(c.ItemValue(1)), psInUse) << "the refill sees the port in use";

    c.Change(); // the same number again
    EXPECT_EQ(opened, 1) << "not reopened";
    EXPECT_EQ(closed, 0);

    c.setCurrentIndex(0);
    c.Change();
    EXPECT_EQ(port.ComNumber(), 1);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(opened, 2) << "an open port is reopened on the new number";
}

TEST_F(PortComboBoxTest, AFailingOpenStillRefillsTheList)
{
    TComPort port;
    port.SetAutoOpen(true);
    TPortComboBox c;
    c.SetComPort(&port);
    c.UpdatePortList();
    c.setCurrentIndex(1); // COM 2, held by Holder
    EXPECT_THROW(c.Change(), EComPortCoreError);
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(c.count(), 2);
    EXPECT_EQ(c.currentText().toStdString(), "COM 2");

    // Picked by the user, the error goes to the application's handler.
    std::vector<std::string> reported;
    SetApplicationExceptionHandler([&](const std::exception& E) { reported.push_back(E.what()); });
    emit c.activated(1);
    SetApplicationExceptionHandler(nullptr);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "Can't open device COM2");
}

TEST_F(PortComboBoxTest, ForgetsAPortThatIsDestroyed)
{
    TPortComboBox c;
    {
        TComPort port;
        port.SetComNumber(1);
        c.SetComPort(&port);
        ASSERT_EQ(c.ComPort(), &port);
    }
    EXPECT_EQ(c.ComPort(), nullptr);
    c.UpdatePortList();
    c.setCurrentIndex(0);
    EXPECT_NO_THROW(c.Change());
}

TEST_F(PortComboBoxTest, FollowsDevicesThatComeAndGo)
{
    TPortComboBox c;
    c.SetOptions({pcCheckExist, pcHighlightOpen});
    c.show();
    ASSERT_EQ(Texts(c), (std::vector<std::string>{"COM 1", "COM 2"}));
    c.SetComNumber(2);
    int changes = 0;
    c.OnChange = [&](TPortComboBox*) { ++changes; };

    // Plugged in after the list was filled: only the new port is opened.
    TTestPty late;
    const uint64_t opens = PosixProbeOpens();
    Dir.Link(3, late.SlavePath);
    ASSERT_TRUE(WaitFor([&] { return c.count() == 3; })) << c.count();
    EXPECT_EQ(Texts(c), (std::vector<std::string>{"COM 1", "COM 2", "COM 3"}));
    EXPECT_EQ(ProbePortState(c.ItemValue(2)), psFree);
    EXPECT_EQ(PosixProbeOpens(), opens + 1) << "COM 1 unchanged, COM 2 held by this process";
    EXPECT_EQ(c.currentText().toStdString(), "COM 2") << "the selection stays";
    EXPECT_EQ(c.ComNumber(), 2);
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(c.itemData(1, Qt::ToolTipRole).toString().contains("in use by this program"));

    // Its device gone: the link stays, the port goes from the list.
    late.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return c.count() == 2; })) << c.count();
    Dir.Unlink(3);

    // Taken by another program: seen when the list drops down.
    const int other = ::open(Free.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ProbePortState(c.ItemValue(0)), psFree);
    c.showPopup();
    EXPECT_EQ(ProbePortState(c.ItemValue(0)), psInUse);
    EXPECT_EQ(c.ItemTextColor(0, false, true), c.palette().color(QPalette::Disabled, QPalette::Text));
    EXPECT_EQ(c.currentText().toStdString(), "COM 2");
    c.hidePopup();
    ::close(other);
    EXPECT_EQ(changes, 0);
}

TEST_F(PortComboBoxTest, NamesTheAdaptersAndFollowsTheSelectedOne)
{
    TFakeSysfs sys;
    TTestPty b;
    TFakeSysfs::TUsb ua;
    ua.Manufacturer = "FTDI";
    ua.Product = "FT232R USB UART";
    ua.Serial = "A1B2C3";
    const std::string idA = sys.AddUsb(ua, Free.SlavePath);
    TFakeSysfs::TUsb ub = ua;
    ub.Tty = "ttyUSB1";
    ub.UsbPort = "1-2";
    ub.Serial = "Z9Y8X7";
    sys.AddUsb(ub, b.SlavePath);
    Dir.Link(3, b.SlavePath);

    TPortComboBox c;
    c.SetOptions({pcCheckExist, pcHighlightOpen});
    c.UpdatePortList();
    ASSERT_EQ(Texts(c), (std::vector<std::string>{"COM 1", "COM 2", "COM 3"}));
    EXPECT_EQ(c.ItemDescription(0).toStdString(), "FT232R USB UART, FTDI, A1B2C3, ftdi_sio");
    EXPECT_EQ(c.ItemDescription(2).toStdString(), "FT232R USB UART, FTDI, Z9Y8X7, ftdi_sio");
    EXPECT_EQ(c.ItemDescription(1).toStdString(), Held.SlavePath + " \u2014 in use by this program");
    const QString tip = c.itemData(0, Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains(QString::fromStdString(idA))) << tip.toStdString();
    EXPECT_TRUE(tip.contains("USB 0403:6001 at 1-1")) << tip.toStdString();

    c.setCurrentIndex(0);
    c.Change();
    ASSERT_EQ(c.ComNumber(), 1);
    std::vector<int> told;
    c.OnChange = [&](TPortComboBox* S) { told.push_back(S->ComNumber()); };

    // Re-plugged in the other order, the adapters swap numbers: the
    // selection goes with adapter A.
    Dir.Link(1, b.SlavePath);
    Dir.Link(3, Free.SlavePath);
    ASSERT_TRUE(WaitFor([&] { return c.ComNumber() == 3; })) << c.ComNumber();
    EXPECT_EQ(c.currentText().toStdString(), "COM 3");
    EXPECT_EQ(c.ItemDescription(c.currentIndex()).toStdString(), "FT232R USB UART, FTDI, A1B2C3, ftdi_sio");
    EXPECT_EQ(told, (std::vector<int>{3}));

    // A gone: nothing is chosen, rather than B on its old number.
    Dir.Unlink(3);
    ASSERT_TRUE(WaitFor([&] { return c.ComNumber() == 0; })) << c.ComNumber();
    EXPECT_EQ(c.currentIndex(), -1);
    // A back, under yet another number: chosen again.
    Dir.Link(4, Free.SlavePath);
    ASSERT_TRUE(WaitFor([&] { return c.ComNumber() == 4; })) << c.ComNumber();
    EXPECT_EQ(c.currentText().toStdString(), "COM 4");
    EXPECT_EQ(told, (std::vector<int>{3, 0, 4}));

    // Dropped down, the list is wide enough for the names.
    c.show();
    c.showPopup();
    const QFontMetrics m = c.view()->fontMetrics();
    EXPECT_GT(c.view()->width(), m.horizontalAdvance("COM 4 FT232R USB UART, FTDI, A1B2C3, ftdi_sio"));
    c.hidePopup();
}

TEST(ComPortConfigDialog, ConfirmedSettingsReachThePort)
{
    InstallComPortConfigDialog();
    TComPort port;
    port.SetComNumber(3);
    bool sawDialog = false;
    QTimer::singleShot(0, [&] {
        auto* dlg = dynamic_cast<TComPortConfigDialog*>(QApplication::activeModalWidget());
        if (!dlg)
            return;
        sawDialog = dlg->windowTitle().contains("COM3");
        EXPECT_EQ(dlg->BaudRate->currentText().toStdString(), "115200");
        dlg->BaudRate->setCurrentText("57600");
        dlg->StopBits->setCurrentIndex(2);
        dlg->FlowControl->setCurrentIndex(2);
        dlg->accept();
    });
    EXPECT_TRUE(port.ExecuteConfigDialog());
    EXPECT_TRUE(sawDialog);
    EXPECT_EQ(port.BaudRate(), br57600);
    EXPECT_EQ(port.Stopbits(), sbTwo);
    EXPECT_EQ(port.FlowControl(), fwRtsCts);
    EXPECT_EQ(port.XOnLim(), 0) << "limits come from the record, which had none";

    QTimer::singleShot(0, [&] {
        auto* dlg = dynamic_cast<TComPortConfigDialog*>(QApplication::activeModalWidget());
        if (!dlg)
            return;
        dlg->BaudRate->setCurrentText("31250");
        dlg->reject();
    });
    EXPECT_FALSE(port.ExecuteConfigDialog());
    EXPECT_EQ(port.BaudRate(), br57600) << "cancel changes nothing";

    QTimer::singleShot(0, [&] {
        auto* dlg = dynamic_cast<TComPortConfigDialog*>(QApplication::activeModalWidget());
        if (!dlg)
            return;
        dlg->BaudRate->setCurrentText("31250");
        dlg->accept();
    });
    EXPECT_TRUE(port.ExecuteConfigDialog());
    EXPECT_EQ(port.BaudRate(), brUser);
    EXPECT_EQ(port.UserBaudRate(), 31250);
}
