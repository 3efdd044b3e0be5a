// The window, offscreen: its controls at their places, a whole Veltrac update
// driven through the buttons and the port list (with a screenshot taken in
// the middle of the transfer), the double-clicks and the error boxes.
#include "AppTestSupport.h"
#include "SessionFixture.h"
#include "app/FCXGPSFW.h"
#include "serial/PosixSerial.h"
#include "tests/serial/FakeSysfs.h"
#include "tests/serial/TestPty.h"
#include "tools/devsim/GpsModule.h"
#include "tools/devsim/VeltracUnit.h"
#include "widgets/LedPanel.h"
#include "widgets/PortComboBox.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <iostream>

namespace
{

QString Q(const std::string& S)
{
    return QString::fromStdString(S);
}

void DoubleClick(QWidget* W)
{
    const QPointF At(W->width() / 2.0, W->height() / 2.0);
    QMouseEvent Press(QEvent::MouseButtonDblClick, At, W->mapToGlobal(At), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(W, &Press);
}

bool PickPort(TPortComboBox* Box, int Number)
{
    for (int i = 0; i < Box->count(); ++i)
        if (static_cast<int>(Box->ItemValue(i) & 0xFFFF) == Number) {
            Box->setCurrentIndex(i);
            Box->Change();
            return true;
        }
    return false;
}

int PortItem(TPortComboBox* Box, int Number)
{
    for (int i = 0; i < Box->count(); ++i)
        if (static_cast<int>(Box->ItemValue(i) & 0xFFFF) == Number)
            return i;
    return -1;
}

// Where the screenshot goes: $VELTRAC_SCREENSHOT, else the build tree.
std::string ScreenshotPath()
{
    if (const char* P = std::getenv("VELTRAC_SCREENSHOT"); P && *P)
        return P;
    return std::string(VELTRAC_TEST_OUTPUT_DIR) + "/veltrac-window-transfer.png";
}

class Window : public SessionTest
{
  protected:
    void Prepare(TFCXGPSFW& W)
    {
        W.ShowErrorBox = [this](const QString& Message) { Boxes.push_back(Message.toStdString()); };
        W.ChooseFirmwareFile = [this] { return Q(FileToChoose); };
        QObject::connect(&W.Session(), &TUpdateSession::Finished,
                         [this](const TUpdateOutcome& O) { Outcomes.push_back(O); });
    }
    // A unit whose receiver takes Ms to program.
    static devsim::UnitConfig ProgrammingFor(int Ms)
    {
        devsim::UnitConfig C;
        C.GpsIntervalMs = 200;
        C.ProgrammingMs = Ms;
        C.LoggerIntervalMs = 100;
        return C;
    }
    // COM 5 chosen, Open pressed, and on until the unit's receiver programs.
    void OpenUntilProgramming(TFCXGPSFW& W, devsim::VeltracUnit& Unit)
    {
        W.show();
        ASSERT_TRUE(PickPort(W.cComNumber, Com));
        W.bOpen->click();
        ASSERT_TRUE(WaitFor([&] { return Unit.Report().Programming && W.Session().ReceiverAtRisk(); }, Long))
            << Describe(W.Session());
    }
    std::vector<std::string> Boxes;
};

} // namespace

TEST_F(Window, ControlsAtTheirPlaces)
{
    TFCXGPSFW W;
    // The form's 450 x 146 and one status line below it.
    EXPECT_EQ(W.size(), QSize(450, 166));
    EXPECT_EQ(W.minimumSize(), W.maximumSize());
    EXPECT_EQ(W.windowTitle(), "Veltrac GNSS Firmware Update + Veltrac (Demo package 2026-12)");
    EXPECT_EQ(W.font().pointSize(), 8);

    const struct {
        QWidget* Control;
        QRect Place;
    } Places[] = {
        {W.bOpen, {8, 8, 65, 25}},
        {W.bClose, {80, 8, 65, 25}},
        {W.bOff, {152, 8, 65, 25}},
        {W.cDeviceType, {224, 10, 97, 21}},
        {W.cComNumber, {328, 10, 97, 22}},
        {W.tlTX, {432, 8, 9, 12}},
        {W.tlRX, {432, 20, 9, 12}},
        {W.pUnitInfo, {8, 40, 89, 16}},
        {W.vUnitID, {104, 40, 81, 16}},
        {W.vVersion, {192, 40, 57, 16}},
        {W.vClass, {256, 40, 89, 16}},
        {W.vVersionInfo, {352, 40, 41, 16}},
        {W.vHWVer, {400, 40, 41, 16}},
        {W.pGPSCurrent, {8, 64, 89, 16}},
        {W.vGPSCurrent, {104, 64, 327, 16}},
        {W.pGPSNeeded, {8, 80, 89, 16}},
        {W.vGPSNeeded, {104, 80, 327, 16}},
        {W.lGPSData, {432, 64, 9, 32}},
        {W.pProgress, {8, 104, 89, 33}},
        {W.pSendProgress, {104, 104, 265, 15}},
        {W.pUpdateProgress, {104, 120, 265, 15}},
        {W.vProgress, {376, 104, 65, 33}},
    };
    for (const auto& P : Places)
        EXPECT_EQ(P.Control->geometry(), P.Place) << P.Control->metaObject()->className();

    EXPECT_EQ(W.bOpen->text(), "Open");
    EXPECT_EQ(W.bClose->text(), "Close");
    EXPECT_EQ(W.bOff->text(), "Off");
    EXPECT_EQ(W.pUnitInfo->text(), "Unit");
    EXPECT_EQ(W.pGPSCurrent->text(), "Current version");
    EXPECT_EQ(W.pGPSNeeded->text(), "Required version");
    EXPECT_EQ(W.pProgress->text(), "Program");
    ASSERT_EQ(W.cDeviceType->count(), 2);
    EXPECT_EQ(W.cDeviceType->itemText(0), "Veltrac");
    EXPECT_EQ(W.cDeviceType->itemText(1), "External GPS");
    EXPECT_EQ(W.cDeviceType->currentIndex(), 0);
    EXPECT_EQ(W.cComNumber->MaxComPorts(), 1025);
    EXPECT_EQ(W.cComNumber->Options(), (TPortCtlOptions{pcCheckExist, pcHighlightOpen}));
    EXPECT_EQ(W.tlTX->ColorOn(), QColor(Qt::red));
    EXPECT_EQ(W.tlRX->ColorOn(), QColor(0, 255, 0));
    EXPECT_EQ(W.lGPSData->ColorOn(), QColor(0, 255, 0));
    EXPECT_EQ(W.tlTX->Interval(), 250u);
    EXPECT_EQ(W.pSendProgress->maximum(), 100);
    EXPECT_EQ(W.pSendProgress->value(), 0);
}

TEST_F(Window, VeltracUpdateThroughTheWindow)
{
    devsim::UnitConfig C;
    // A unit the tool carries firmware for: its own firmware first, then the receiver.
    C.Class = 21;
    C.Hardware = 0x01;
    C.HardwareRev = 3;
    C.GpsIntervalMs = 200;
    C.ProgrammingMs = 800;
    // The quick end the session is built for: empty answer while programming, wrong-rate bytes lost.
    C.AnswerWhileProgramming = devsim::BusyAnswer::Empty;
    C.WrongRateGarbage = false;
    C.LoggerIntervalMs = 100;
    C.Container = 'R';
    C.ReceiverVersion = Old1513;
    C.VersionAfterProgramming = New1513;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);

    TFCXGPSFW W;
    Prepare(W);
    W.show();
    ASSERT_TRUE(PickPort(W.cComNumber, Com)) << "COM 5 is not in the port list";
    EXPECT_EQ(W.cComNumber->currentText(), "COM 5");
    EXPECT_EQ(W.Session().Display().ComNumber, Com);
    W.bOpen->click();
    EXPECT_FALSE(W.cDeviceType->isEnabled());

    // In the middle of the transfer: what the window shows, and a picture of it.
    bool TxLit = false;
    ASSERT_TRUE(WaitFor(
        [&] {
            TxLit = TxLit || W.tlTX->Lit();
            return W.Session().UpdateState() == TUpdateState::TransferStart &&
                   W.pSendProgress->value() * 3 > W.pSendProgress->maximum();
        },
        Long))
        << Describe(W.Session());
    EXPECT_EQ(W.vUnitID->text(), "123456");
    EXPECT_EQ(W.vVersion->text(), "2.41");
    EXPECT_EQ(W.vVersionInfo->text(), "0e1");
    EXPECT_EQ(W.vGPSCurrent->text(), Q(Old1513));
    EXPECT_EQ(W.vGPSNeeded->text(), Q(New1513));
    EXPECT_TRUE(W.vProgress->text().endsWith('%'));
    // The status line below the controls says the same in words.
    EXPECT_TRUE(W.vStatus->text().startsWith("Writing the image into the unit: "))
        << W.vStatus->text().toStdString();
    EXPECT_EQ(W.vStatus->geometry().bottom() + 1 + 5, W.height());
    const std::string Shot = ScreenshotPath();
    QDir().mkpath(QFileInfo(Q(Shot)).absolutePath());
    ASSERT_TRUE(W.grab().save(Q(Shot), "PNG")) << Shot;
    std::cout << "screenshot of the window during a transfer: " << Shot << std::endl;

    ASSERT_TRUE(WaitFor(
        [&] {
            TxLit = TxLit || W.tlTX->Lit();
            return W.Session().UpdateState() == TUpdateState::Finished;
        },
        Long))
        << Describe(W.Session());
    EXPECT_TRUE(TxLit);
    EXPECT_EQ(Unit.Report().Programmings, 1);
    EXPECT_TRUE(Unit.ReceiverImage() == ArchiveItem(W.Session().Images().Archive(), New1513 + ".bin"));
    EXPECT_EQ(W.vGPSCurrent->text(), Q(New1513));
    EXPECT_EQ(W.vGPSNeeded->text(), Q(New1513));
    const QString Finished = "Finished: the receiver was updated to \"" + Q(New1513) + "\"";
    EXPECT_TRUE(W.vStatus->toolTip().startsWith(Finished)) << W.vStatus->toolTip().toStdString();
    // The line itself: the essential first, and all of it within the window.
    const QString Line = W.vStatus->text();
    EXPECT_TRUE(Line.startsWith("Finished: receiver AXN_")) << Line.toStdString();
    EXPECT_TRUE(Line.endsWith(QString("; unit firmware 2.40 ") + QChar(0x2192) + " 2.41"))
        << Line.toStdString();
    EXPECT_LE(W.vStatus->fontMetrics().horizontalAdvance(Line), W.vStatus->contentsRect().width());
    EXPECT_TRUE(WaitFor([&] { return W.cDeviceType->isEnabled(); }, Short))
        << "the run and the turn-off have ended";

    W.bClose->click();
    EXPECT_TRUE(W.cDeviceType->isEnabled());
    EXPECT_EQ(W.vUnitID->text(), "");
    EXPECT_EQ(W.vStatus->text(), "Press Open to connect to the unit on COM 5.");
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(Window, NothingEndsAProgrammingReceiverWithoutAsking)
{
    devsim::VeltracUnit Unit(ProgrammingFor(8000));
    Plug(Unit);
    TFCXGPSFW W;
    Prepare(W);
    ASSERT_NO_FATAL_FAILURE(OpenUntilProgramming(W, Unit));

    // "Off" and "Close" ask; the answer "no" leaves everything running.
    for (QPushButton* Button : {W.bOff, W.bClose}) {
        Button->click();
        ASSERT_NE(W.Question(), nullptr) << Button->text().toStdString();
        EXPECT_EQ(W.Question()->defaultButton(), W.Question()->button(QMessageBox::No));
        W.Question()->button(QMessageBox::No)->click();
        EXPECT_EQ(W.Question(), nullptr);
    }
    EXPECT_TRUE(W.Session().UnitProcedure().Link().Connected());
    EXPECT_FALSE(W.cDeviceType->isEnabled());

    // Closing the window asks too, and the question stays until it is answered...
    EXPECT_FALSE(W.close());
    ASSERT_TRUE(WaitFor([&] { return W.Question() != nullptr; }, Short));
    Pump(1000);
    EXPECT_NE(W.Question(), nullptr) << "the question was withdrawn";
    EXPECT_TRUE(W.isVisible());
    W.Question()->button(QMessageBox::No)->click();
    // ...or until the update ends behind it: then the question goes, the
    // Close is carried out, and the status line still says how the run ended.
    W.bClose->click();
    ASSERT_NE(W.Question(), nullptr);
    ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(W.Session());
    EXPECT_EQ(Outcomes.back().Kind, TOutcomeKind::Updated) << Outcomes.back().Message;
    // The unit is switched off, its port let go and the device type free again.
    ASSERT_TRUE(WaitFor([&] { return W.cDeviceType->isEnabled(); }, Short)) << Describe(W.Session());
    EXPECT_FALSE(W.Session().UnitProcedure().Link().Active());
    EXPECT_EQ(W.Question(), nullptr);
    EXPECT_EQ(W.vStatus->text().left(10).toStdString(), "Finished: ");
    const auto R = Unit.Report();
    EXPECT_EQ(R.Programmings, 1);
    EXPECT_EQ(R.TurnOffs, 1) << "the unit is switched off as after any update";
    EXPECT_TRUE(R.EndsWhileProgramming.empty()) << R.EndsWhileProgramming.front();
    EXPECT_TRUE(Boxes.empty());
    // With nothing at risk the window closes at once.
    EXPECT_TRUE(W.close());
}

TEST_F(Window, ASignalWhileTheReceiverProgramsWaitsForItThenCloses)
{
    devsim::VeltracUnit Unit(ProgrammingFor(5000));
    Plug(Unit);
    TFCXGPSFW W;
    Prepare(W);
    int Quits = 0;
    W.Quit = [&] { ++Quits; };
    ASSERT_NO_FATAL_FAILURE(OpenUntilProgramming(W, Unit));

    W.EndOnSignal(SIGTERM);
    EXPECT_EQ(W.vStatus->text().toStdString(),
              "SIGTERM: closing once the receiver is done; a second signal closes at once");
    Pump(500);
    EXPECT_EQ(Quits, 0);
    EXPECT_TRUE(W.Session().UnitProcedure().Link().Connected());

    ASSERT_TRUE(WaitFor([&] { return Quits == 1; }, Long)) << Describe(W.Session());
    ASSERT_FALSE(Outcomes.empty());
    EXPECT_EQ(Outcomes.front().Kind, TOutcomeKind::Updated) << Outcomes.front().Message;
    const auto R = Unit.Report();
    EXPECT_EQ(R.Programmings, 1);
    EXPECT_TRUE(R.EndsWhileProgramming.empty()) << R.EndsWhileProgramming.front();
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(Window, AnUnpluggedDeviceIsToldInTheStatusLineWithoutABox)
{
    TFCXGPSFW W;
    Prepare(W);
    W.show();
    W.bOpen->click();
    EXPECT_EQ(W.vStatus->text(), "No port is chosen: pick the device's port in the list, then press Open.");

    // A unit unplugged in the middle of its transfer.
    {
        devsim::UnitConfig C;
        C.GpsIntervalMs = 200;
        devsim::VeltracUnit Unit(C);
        devsim::Faults F;
        F.HangUpAt = "eeprom:20";
        Unit.SetFaults(F);
        Plug(Unit);
        ASSERT_TRUE(WaitFor([&] { return PortItem(W.cComNumber, Com) >= 0; }, Short));
        ASSERT_TRUE(PickPort(W.cComNumber, Com));
        W.bOpen->click();
        ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(W.Session());
        EXPECT_EQ(Outcomes.back().Kind, TOutcomeKind::PortError);
        EXPECT_EQ(W.vStatus->toolTip().toStdString(),
                  "Failed: COM 5 disappeared during the receiver transfer: the receiver was not programmed; "
                  "plug the unit in and press Open");
        EXPECT_FALSE(W.Session().UnitProcedure().Link().Active()) << "the dead port is let go";
        EXPECT_TRUE(W.cDeviceType->isEnabled());
        // Nothing is sent any more: the transmit lamp stays dark (once its last flash is over).
        Pump(400);
        bool TxLit = false;
        WaitFor(
            [&] {
                TxLit = TxLit || W.tlTX->Lit();
                return false;
            },
            2000);
        EXPECT_FALSE(TxLit);
    }

    // An External GPS module that is already up to date: once finished its
    // port is let go, and unplugging it is no error.
    devsim::ModuleConfig M;
    M.ReceiverVersion = CurrentGG;
    devsim::GpsModule Module(M);
    Plug(Module);
    // The port list keeps the chosen port for when it comes back.
    ASSERT_TRUE(WaitFor([&] { return W.Session().Display().ComNumber == Com; }, Short));
    W.cDeviceType->setCurrentIndex(1);
    W.bOpen->click();
    ASSERT_TRUE(
        WaitFor([&] { return Outcomes.size() == 2 && !W.Session().ModuleProcedure().Port().Active(); }, Long))
        << Describe(W.Session());
    EXPECT_EQ(Outcomes.back().Kind, TOutcomeKind::UpToDate) << Outcomes.back().Message;
    EXPECT_TRUE(W.cDeviceType->isEnabled());
    EXPECT_TRUE(W.vStatus->toolTip().startsWith("Finished: the receiver already runs"))
        << W.vStatus->toolTip().toStdString();
    // Once it is unplugged, its "Finished" and its facts go: the next module is not taken for it.
    Module.HangUp();
    ASSERT_TRUE(WaitFor([&] { return W.vUnitID->text().isEmpty(); }, Short));
    EXPECT_EQ(W.vStatus->text(), "Choose the device type and the port, then press Open.");
    EXPECT_TRUE(Boxes.empty()) << Boxes.front();
    W.bClose->click();
    EXPECT_TRUE(W.vStatus->text().startsWith("Choose the device type")) << W.vStatus->text().toStdString();
}

TEST_F(Window, APortPluggedInLaterAppearsAndTheOpenOneIsNotProbed)
{
    // A spare adapter is there from the start, the unit comes later; both
    // are named as USB adapters in a private sysfs tree.
    TFakeSysfs Sys;
    TTestPty Spare;
    TFakeSysfs::TUsb Cheap;
    Cheap.Tty = "ttyUSB1";
    Cheap.UsbPort = "1-2";
    Cheap.VendorId = "1a86";
    Cheap.ProductId = "7523";
    Cheap.Product = "USB Serial";
    Cheap.Driver = "ch341";
    Cheap.ById = false;
    Sys.AddUsb(Cheap, Spare.SlavePath);
    ASSERT_EQ(symlink(Spare.SlavePath.c_str(), (ComDir() + "/com6").c_str()), 0);

    TFCXGPSFW W;
    Prepare(W);
    W.show();
    TPortComboBox* Box = W.cComNumber;
    ASSERT_EQ(Box->count(), 1);
    EXPECT_EQ(PortItem(Box, Com), -1);

    devsim::VeltracUnit Unit;
    Plug(Unit);
    TFakeSysfs::TUsb Ftdi;
    Ftdi.Manufacturer = "FTDI";
    Ftdi.Product = "FT232R USB UART";
    Ftdi.Serial = "A1B2C3";
    char Real[PATH_MAX];
    ASSERT_TRUE(realpath((ComDir() + "/com5").c_str(), Real));
    const std::string ById = Sys.AddUsb(Ftdi, Real);
    ASSERT_TRUE(WaitFor([&] { return PortItem(Box, Com) >= 0; }, Short)) << "COM 5 never appeared";
    EXPECT_EQ(Box->itemText(PortItem(Box, Com)), "COM 5");
    EXPECT_EQ(Box->ItemDescription(PortItem(Box, Com)), "FT232R USB UART, FTDI, A1B2C3, ftdi_sio");
    EXPECT_TRUE(Box->itemData(PortItem(Box, Com), Qt::ToolTipRole).toString().contains(Q(ById)));
    ASSERT_TRUE(PickPort(Box, Com));
    EXPECT_EQ(W.Session().Display().ComNumber, Com);

    W.bOpen->click();
    ASSERT_TRUE(WaitFor([&] { return W.vUnitID->text() == "123456"; }, Long)) << Describe(W.Session());

    // Dropped down while the session holds COM 5: only COM 6 is opened to
    // look at it; COM 5 is grey and says why.
    const uint64_t Opens = PosixProbeOpens();
    Box->showPopup();
    EXPECT_EQ(PosixProbeOpens(), Opens + 1);
    const int Item = PortItem(Box, Com);
    ASSERT_GE(Item, 0);
    EXPECT_EQ(Box->currentIndex(), Item) << "still selected";
    EXPECT_EQ(Box->ItemTextColor(Item, false, true),
              Box->palette().color(QPalette::Disabled, QPalette::Text));
    EXPECT_TRUE(Box->ItemDescription(Item).endsWith("in use by this program"));
    EXPECT_EQ(Box->ItemDescription(PortItem(Box, 6)), "USB Serial, at USB 1-2, ch341");
    const std::string Shot = std::string(VELTRAC_TEST_OUTPUT_DIR) + "/veltrac-port-list.png";
    ASSERT_TRUE(Box->view()->window()->grab().save(Q(Shot), "PNG")) << Shot;
    std::cout << "screenshot of the dropped-down port list: " << Shot << std::endl;
    Box->hidePopup();

    W.bClose->click();
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(Window, DoubleClicksAndTheUnableToLoadBox)
{
    TFCXGPSFW W;
    Prepare(W);
    DoubleClick(W.pGPSCurrent); // no unit: nothing
    EXPECT_EQ(W.vGPSCurrent->text(), "");
    FileToChoose = ComDir() + "/missing.bin";
    DoubleClick(W.pGPSNeeded);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0], "Unable to load firmware");
    EXPECT_EQ(W.Session().UpdateState(), TUpdateState::Idle);

    // External GPS: a recovery needs the module's port open.
    W.cDeviceType->setCurrentIndex(1);
    EXPECT_EQ(W.Session().Display().DeviceType, dtExternalGPS);
    DoubleClick(W.pGPSCurrent);
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_EQ(Boxes[1], SessionText::NoModuleConnection);
    EXPECT_EQ(W.vGPSCurrent->text(), "");
    EXPECT_EQ(W.Session().UpdateState(), TUpdateState::Idle);
}

TEST_F(Window, PortErrorsEndInAMessageBox)
{
    TFCXGPSFW W;
    Prepare(W);
    W.cDeviceType->setCurrentIndex(1);
    W.Session().SetComNumber(7); // no device behind COM 7
    W.bOpen->click();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_FALSE(Boxes[0].empty());
    EXPECT_FALSE(W.Session().ModuleProcedure().Port().Active());
    W.bClose->click();
    EXPECT_TRUE(W.cDeviceType->isEnabled());
    EXPECT_EQ(W.cDeviceType->currentIndex(), 1);
}

TEST_F(Window, DeviceTypeCannotChangeWhileLocked)
{
    devsim::VeltracUnit Unit;
    Plug(Unit);
    TFCXGPSFW W;
    Prepare(W);
    W.Session().SetComNumber(Com);
    W.bOpen->click();
    W.cDeviceType->setCurrentIndex(1); // as a program might; the user cannot
    EXPECT_EQ(W.cDeviceType->currentIndex(), 0);
    EXPECT_EQ(W.Session().Display().DeviceType, dtVeltrac);
    W.bClose->click();
}

TEST_F(Window, CustomFirmwareDialog)
{
    TFCXGPSFW W;
    W.ShowErrorBox = [this](const QString& Message) { Boxes.push_back(Message.toStdString()); };
    QString Title, Filter;
    bool Existing = false;
    QTimer::singleShot(50, [&] {
        if (auto* D = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            Title = D->windowTitle();
            Filter = D->nameFilters().join(";;");
            Existing = D->fileMode() == QFileDialog::ExistingFile;
            D->reject();
        }
    });
    QTimer::singleShot(5000, [] {
        if (QWidget* D = QApplication::activeModalWidget())
            D->close();
    });
    EXPECT_TRUE(W.ChooseFirmwareFile().isEmpty());
    EXPECT_EQ(Title, "Custom firmware update");
    EXPECT_EQ(Filter, "GPS Firmware (*.bin)");
    EXPECT_TRUE(Existing);
    EXPECT_TRUE(Boxes.empty());
}

// A unit whose receiver programs when the window opens it (a tool that ended
// meanwhile): followed to its end, nothing written, and nothing that could
// end it goes without a question — Open included.
TEST_F(Window, OpenOnAProgrammingUnitFollowsItAndAsksBeforeEndingIt)
{
    devsim::UnitConfig C = ProgrammingFor(12000);
    C.ProgrammingAtStartMs = 9000;
    C.ReceiverVersion = Old1513;
    C.VersionAfterProgramming = New1513;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    TFCXGPSFW W;
    Prepare(W);
    W.show();
    ASSERT_TRUE(PickPort(W.cComNumber, Com));
    // The list's look at a port it knows nothing of closes it once; from Open on nothing ends the link.
    const std::size_t EndsBefore = Unit.Report().EndsWhileProgramming.size();
    W.bOpen->click();
    ASSERT_TRUE(WaitFor([&] { return W.Session().ReceiverAtRisk(); }, Long)) << Describe(W.Session());
    EXPECT_FALSE(W.vStatus->text().startsWith("Failed")) << W.vStatus->text().toStdString();

    for (QPushButton* Button : {W.bOpen, W.bClose, W.bOff}) {
        Button->click();
        ASSERT_NE(W.Question(), nullptr) << Button->text().toStdString();
        EXPECT_TRUE(W.Question()->text().startsWith(Q(SessionText::ProgrammingWarning)));
        EXPECT_EQ(W.Question()->defaultButton(), W.Question()->button(QMessageBox::No));
        W.Question()->button(QMessageBox::No)->click();
    }
    EXPECT_FALSE(W.close());
    ASSERT_TRUE(WaitFor([&] { return W.Question() != nullptr; }, Short));
    W.Question()->button(QMessageBox::No)->click();
    EXPECT_TRUE(W.Session().UnitProcedure().Link().Connected());

    ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(W.Session());
    const TUpdateOutcome& O = Outcomes.front();
    EXPECT_EQ(O.Kind, TOutcomeKind::Updated) << O.Message;
    EXPECT_TRUE(O.ProgrammingFollowed);
    EXPECT_FALSE(O.Transferred);
    EXPECT_TRUE(W.vStatus->toolTip().startsWith("Finished: ")) << W.vStatus->toolTip().toStdString();
    // The line names the new version, as for any update, and that nothing was written.
    EXPECT_TRUE(W.vStatus->text().startsWith("Finished: receiver AXN")) << W.vStatus->text().toStdString();
    EXPECT_TRUE(W.vStatus->text().endsWith("wrote nothing")) << W.vStatus->text().toStdString();
    const auto R = Unit.Report();
    EXPECT_EQ(R.Programmings, 1);
    EXPECT_EQ(R.Transfers, 0);
    EXPECT_EQ(R.EepromWritesWhileProgramming, 0);
    EXPECT_EQ(R.EndsWhileProgramming.size(), EndsBefore) << R.EndsWhileProgramming.back();
    EXPECT_TRUE(Boxes.empty());
}

// Open during a transfer asks whether to start again; a transfer that goes on
// into programming while the question is open asks the programming question.
TEST_F(Window, OpenDuringAnUpdateAsksFirst)
{
    devsim::UnitConfig C = ProgrammingFor(4000);
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    TFCXGPSFW W;
    Prepare(W);
    W.show();
    ASSERT_TRUE(PickPort(W.cComNumber, Com));
    W.bOpen->click();
    ASSERT_TRUE(WaitFor([&] { return W.Session().UpdateState() == TUpdateState::TransferStart; }, Long))
        << Describe(W.Session());

    W.bOpen->click();
    ASSERT_NE(W.Question(), nullptr);
    EXPECT_TRUE(W.Question()->text().startsWith(Q(SessionText::TransferWarning)));
    EXPECT_EQ(W.Question()->defaultButton(), W.Question()->button(QMessageBox::No));
    W.Question()->button(QMessageBox::No)->click();
    EXPECT_EQ(W.Session().UpdateState(), TUpdateState::TransferStart);

    W.bOpen->click();
    ASSERT_TRUE(WaitFor([&] { return W.Session().ReceiverAtRisk(); }, Long)) << Describe(W.Session());
    ASSERT_NE(W.Question(), nullptr) << "the question went with the transfer";
    EXPECT_TRUE(W.Question()->text().startsWith(Q(SessionText::ProgrammingWarning)));
    W.Question()->button(QMessageBox::No)->click();

    ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(W.Session());
    EXPECT_EQ(Outcomes.front().Kind, TOutcomeKind::Updated) << Outcomes.front().Message;
    const auto R = Unit.Report();
    EXPECT_EQ(R.Transfers, 1);
    EXPECT_EQ(R.Programmings, 1);
    EXPECT_TRUE(R.EndsWhileProgramming.empty()) << R.EndsWhileProgramming.front();
}

// Unplugged while its receiver programs and plugged in again: the port list
// sees it come back without opening it, the status line is not "Failed" and
// keeps what to do in view, and Open follows the programming to its end.
TEST_F(Window, APortThatReturnsWhileItsReceiverProgramsIsNotOpenedByTheList)
{
    devsim::UnitConfig C = ProgrammingFor(20000);
    C.LinkTimeoutMs = 3000;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    TFCXGPSFW W;
    Prepare(W);
    ASSERT_NO_FATAL_FAILURE(OpenUntilProgramming(W, Unit));

    const int Closes = Unit.Line().PortCloses;
    Unit.HangUp();
    ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Short)) << Describe(W.Session());
    EXPECT_EQ(Outcomes.back().Kind, TOutcomeKind::PortError);
    EXPECT_TRUE(W.vStatus->toolTip().startsWith("Not finished: COM 5 disappeared while"))
        << W.vStatus->toolTip().toStdString();
    EXPECT_TRUE(W.vStatus->text().endsWith("press Open to follow it to the end"))
        << W.vStatus->text().toStdString();
    EXPECT_LE(W.vStatus->fontMetrics().horizontalAdvance(W.vStatus->text()), W.vStatus->contentsRect().width());
    ASSERT_TRUE(WaitFor([&] { return PortItem(W.cComNumber, Com) < 0; }, Short));

    const uint64_t Opens = PosixProbeOpens();
    ASSERT_TRUE(Unit.Replug());
    ASSERT_TRUE(WaitFor([&] { return PortItem(W.cComNumber, Com) >= 0; }, Short)) << "COM 5 never came back";
    Pump(500);
    EXPECT_EQ(PosixProbeOpens(), Opens);
    EXPECT_TRUE(W.cComNumber->ItemDescription(PortItem(W.cComNumber, Com)).endsWith("in use by this program"));
    EXPECT_EQ(Unit.Line().PortCloses, Closes);
    ASSERT_TRUE(Unit.Report().Programming) << "the programming should outlast the return";

    W.bOpen->click();
    ASSERT_TRUE(WaitFor([&] { return Outcomes.size() == 2; }, Long)) << Describe(W.Session());
    EXPECT_EQ(Outcomes.back().Kind, TOutcomeKind::Updated) << Outcomes.back().Message;
    const auto R = Unit.Report();
    EXPECT_EQ(R.Programmings, 1);
    EXPECT_TRUE(R.EndsWhileProgramming.empty()) << R.EndsWhileProgramming.front();
}

// "Off" before the unit answered: nothing can switch it off, so the waking
// stops and the port is let go, as Close does, and the status line says so.
TEST_F(Window, OffWhileWakingLetsGoOfThePort)
{
    devsim::VeltracUnit Unit;
    devsim::Faults F;
    F.DropNamed = "wakeup";
    F.DropNamedCount = -1;
    Unit.SetFaults(F);
    Plug(Unit);
    TFCXGPSFW W;
    Prepare(W);
    W.show();
    ASSERT_TRUE(PickPort(W.cComNumber, Com));
    W.bOpen->click();
    ASSERT_TRUE(WaitFor([&] { return Unit.Line().DroppedCommands >= 2; }, Short)) << Describe(W.Session());

    const int Closes = Unit.Line().PortCloses;
    W.bOff->click();
    EXPECT_EQ(W.Question(), nullptr);
    EXPECT_FALSE(W.Session().UnitProcedure().Link().Active());
    EXPECT_TRUE(W.cDeviceType->isEnabled());
    ASSERT_FALSE(Outcomes.empty());
    EXPECT_EQ(Outcomes.back().Kind, TOutcomeKind::Interrupted);
    EXPECT_EQ(W.vStatus->toolTip().toStdString(), "Stopped: " + SessionText::OffUnheard);
    // A unit that would answer now is not woken and left on.
    Unit.SetFaults({});
    Pump(2500);
    EXPECT_FALSE(Unit.Report().Framed);
    EXPECT_EQ(Unit.Report().Wakeups, 0);
    EXPECT_EQ(Unit.Line().PortCloses, Closes + 1);
}
