#include "app/FCXGPSFW.h"

#include "app/SignalWatcher.h"

#include "serial/AppException.h"
#include "widgets/LedPanel.h"
#include "widgets/PortComboBox.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

namespace
{

QLabel* MakePanel(QWidget* Parent, int Left, int Top, int Width, int Height, const QString& Text, bool Value)
{
    auto* P = new QLabel(Text, Parent);
    P->setGeometry(Left, Top, Width, Height);
    P->setFrameStyle(QFrame::Panel | (Value ? QFrame::Sunken : QFrame::Raised));
    P->setAlignment(Value ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignCenter);
    if (Value)
        P->setIndent(3);
    P->setTextFormat(Qt::PlainText);
    return P;
}

TLedPanel* MakeLamp(QWidget* Parent, int Left, int Top, int Width, int Height, const QColor& On)
{
    auto* L = new TLedPanel(Parent);
    L->setGeometry(Left, Top, Width, Height);
    L->SetColorOn(On);
    L->SetInterval(250);
    return L;
}

QProgressBar* MakeBar(QWidget* Parent, int Left, int Top)
{
    auto* B = new QProgressBar(Parent);
    B->setGeometry(Left, Top, 265, 15);
    B->setRange(0, 100);
    B->setValue(0);
    B->setTextVisible(false);
    return B;
}

// Device texts are 8-bit; show them as Latin-1 so no byte is lost.
QString Text(const std::string& S)
{
    return QString::fromLatin1(S.data(), static_cast<qsizetype>(S.size()));
}

} // namespace

void TClickPanel::mouseDoubleClickEvent(QMouseEvent* Event)
{
    QLabel::mouseDoubleClickEvent(Event);
    emit DoubleClicked();
}

TFCXGPSFW::TFCXGPSFW(const std::vector<std::string>& Arguments, QWidget* Parent)
    : QWidget(Parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName("FCXGPSFW");
    QFont F("MS Sans Serif");
    F.setStyleHint(QFont::SansSerif);
    F.setPointSize(8);
    // The stand-in sans fonts run wider than the original; the labels must fit their panels.
    F.setStretch(QFont::SemiCondensed);
    setFont(F);
    setFixedSize(450, 166);

    ShowErrorBox = [this](const QString& Message) {
        QMessageBox::critical(this, Text(SessionText::Caption), Message, QMessageBox::Ok);
    };
    ChooseFirmwareFile = [this] { return RunLoadDialog(); };
    Quit = [] { QCoreApplication::exit(0); };
    ConfirmInterrupt = [this] {
        const auto Answer = QMessageBox::warning(
            this, Text(SessionText::Caption), Text(SessionText::ProgrammingWarning) + "\n\nInterrupt anyway?",
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        return Answer == QMessageBox::Yes;
    };
    SetApplicationExceptionHandler([this](const std::exception& E) {
        if (ShowErrorBox)
            ShowErrorBox(QString::fromLocal8Bit(E.what()));
    });

    bOpen = new QPushButton("Open", this);
    bOpen->setGeometry(8, 8, 65, 25);
    bClose = new QPushButton("Close", this);
    bClose->setGeometry(80, 8, 65, 25);
    bOff = new QPushButton("Off", this);
    bOff->setGeometry(152, 8, 65, 25);

    cDeviceType = new QComboBox(this);
    cDeviceType->setGeometry(224, 10, 97, 21);
    cDeviceType->addItems({"Veltrac", "External GPS"});
    cDeviceType->setCurrentIndex(0);

    cComNumber = new TPortComboBox(this);
    cComNumber->setGeometry(328, 10, 97, 22);
    cComNumber->SetOptions({pcCheckExist, pcHighlightOpen});
    cComNumber->SetMaxComPorts(1025);

    tlTX = MakeLamp(this, 432, 8, 9, 12, Qt::red);
    tlRX = MakeLamp(this, 432, 20, 9, 12, Qt::green);

    pUnitInfo = MakePanel(this, 8, 40, 89, 16, "Unit", false);
    vUnitID = MakePanel(this, 104, 40, 81, 16, "", true);
    vVersion = MakePanel(this, 192, 40, 57, 16, "", true);
    vClass = MakePanel(this, 256, 40, 89, 16, "", true);
    vVersionInfo = MakePanel(this, 352, 40, 41, 16, "", true);
    vHWVer = MakePanel(this, 400, 40, 41, 16, "", true);

    pGPSCurrent = new TClickPanel("Current version", this);
    pGPSCurrent->setGeometry(8, 64, 89, 16);
    pGPSCurrent->setFrameStyle(QFrame::Panel | QFrame::Raised);
    pGPSCurrent->setAlignment(Qt::AlignCenter);
    vGPSCurrent = MakePanel(this, 104, 64, 327, 16, "", true);
    pGPSNeeded = new TClickPanel("Required version", this);
    pGPSNeeded->setGeometry(8, 80, 89, 16);
    pGPSNeeded->setFrameStyle(QFrame::Panel | QFrame::Raised);
    pGPSNeeded->setAlignment(Qt::AlignCenter);
    vGPSNeeded = MakePanel(this, 104, 80, 327, 16, "", true);
    lGPSData = MakeLamp(this, 432, 64, 9, 32, Qt::green);

    pProgress = MakePanel(this, 8, 104, 89, 33, "Program", false);
    pSendProgress = MakeBar(this, 104, 104);
    pUpdateProgress = MakeBar(this, 104, 120);
    vProgress = MakePanel(this, 376, 104, 65, 33, "", true);
    vProgress->setAlignment(Qt::AlignCenter);
    // Below the form's controls: what the session does, in words.
    vStatus = MakePanel(this, 8, 144, 433, 17, "", true);

    FSession = std::make_unique<TUpdateSession>(Arguments);
    TUpdateSession& S = *FSession;
    S.SetLamps(tlTX, tlRX, lGPSData);
    S.OnChooseFirmwareFile = [this](TUpdateSession*) {
        const QString Name = ChooseFirmwareFile ? ChooseFirmwareFile() : QString();
        return Name.toLocal8Bit().toStdString();
    };
    S.OnShowError = [this](TUpdateSession*, const std::string& Message) {
        if (ShowErrorBox)
            ShowErrorBox(QString::fromLocal8Bit(Message.c_str()));
    };
    connect(&S, &TUpdateSession::DisplayChanged, this, [this] { ShowDisplay(); });
    // Shown from the event loop, not from inside the session's step.
    connect(
        &S, &TUpdateSession::Finished, this, [this](const TUpdateOutcome& O) { ShowOutcome(O); },
        Qt::QueuedConnection);

    connect(bOpen, &QPushButton::clicked, this, [this] { Action([&] { FSession->bOpenClick(); }); });
    connect(bClose, &QPushButton::clicked, this, [this] {
        if (MayInterrupt())
            Action([&] { FSession->bCloseClick(); });
    });
    connect(bOff, &QPushButton::clicked, this, [this] { Action([&] { FSession->bOffClick(); }); });
    connect(cDeviceType, &QComboBox::currentIndexChanged, this, [this](int Index) {
        Action([&] {
            if (!FSession->SetDeviceType(Index))
                ShowDisplay();
        });
    });
    cComNumber->OnChange = [this](TPortComboBox*) {
        Action([&] { FSession->SetComNumber(cComNumber->ComNumber()); });
    };
    connect(pGPSCurrent, &TClickPanel::DoubleClicked, this,
            [this] { Action([&] { FSession->pGPSCurrentDblClick(); }); });
    connect(pGPSNeeded, &TClickPanel::DoubleClicked, this,
            [this] { Action([&] { FSession->pGPSNeededDblClick(); }); });

    ShowDisplay();
    if (const QScreen* Screen = QGuiApplication::primaryScreen()) {
        const QRect Area = Screen->availableGeometry();
        move(Area.center() - rect().center());
    }
}

TFCXGPSFW::~TFCXGPSFW()
{
    // The session closes its ports and lets go of the lamps before they are destroyed.
    FSession.reset();
    SetApplicationExceptionHandler({});
}

template <typename F> void TFCXGPSFW::Action(F&& Body)
{
    try {
        Body();
    } catch (...) {
        ApplicationHandleCurrentException();
    }
}

void TFCXGPSFW::ShowDisplay()
{
    const TUpdateDisplay& D = FSession->Display();
    setWindowTitle(Text(D.Caption));
    if (cDeviceType->currentIndex() != D.DeviceType) {
        const QSignalBlocker Block(cDeviceType);
        cDeviceType->setCurrentIndex(D.DeviceType);
    }
    cDeviceType->setEnabled(!D.DeviceTypeLocked);
    vUnitID->setText(Text(D.vUnitID));
    vVersion->setText(Text(D.vVersion));
    vClass->setText(Text(D.vClass));
    vVersionInfo->setText(Text(D.vVersionInfo));
    vHWVer->setText(Text(D.vHWVer));
    vGPSCurrent->setText(Text(D.vGPSCurrent));
    vGPSNeeded->setText(Text(D.vGPSNeeded));
    vProgress->setText(Text(D.vProgress));
    pSendProgress->setMaximum(D.pSendProgress.Maximum);
    pSendProgress->setValue(D.pSendProgress.Position);
    pUpdateProgress->setMaximum(D.pUpdateProgress.Maximum);
    pUpdateProgress->setValue(D.pUpdateProgress.Position);
    // A long outcome is cut to the line; the whole of it is the tooltip.
    const QString Status = Text(D.Status);
    const int Room = vStatus->contentsRect().width() - 2 * vStatus->indent();
    vStatus->setText(vStatus->fontMetrics().elidedText(Status, Qt::ElideRight, Room));
    vStatus->setToolTip(Status);
}

// The outcome is the window's to show when the update did not end well and
// nothing else said so already (errors have their own boxes).
void TFCXGPSFW::ShowOutcome(const TUpdateOutcome& Outcome)
{
    if (!ShowErrorBox)
        return;
    if (Outcome.Kind == TOutcomeKind::NotConfirmed)
        ShowErrorBox(Text("Sent, not confirmed: " + Outcome.Message));
    else if (Outcome.Kind == TOutcomeKind::Failed)
        ShowErrorBox(Text("Failed: " + Outcome.Message));
}

bool TFCXGPSFW::MayInterrupt()
{
    return !FSession->ReceiverAtRisk() || !ConfirmInterrupt || ConfirmInterrupt();
}

void TFCXGPSFW::closeEvent(QCloseEvent* Event)
{
    if (!FEndingOnSignal && !MayInterrupt()) {
        Event->ignore();
        return;
    }
    QWidget::closeEvent(Event);
}

void TFCXGPSFW::EndOnSignal(int Signal)
{
    if (FEndingOnSignal) {
        // A second signal: no more waiting for the unit.
        if (Quit)
            Quit();
        return;
    }
    FEndingOnSignal = true;
    Action([&] {
        FSession->EndConnection(TOutcomeKind::Interrupted, "ended by " + SignalName(Signal), [this] {
            if (Quit)
                Quit();
        });
    });
}

QString TFCXGPSFW::RunLoadDialog()
{
    QFileDialog dLoadFW(this, "Custom firmware update");
    dLoadFW.setNameFilter("GPS Firmware (*.bin)");
    dLoadFW.setDefaultSuffix("bin");
    dLoadFW.setFileMode(QFileDialog::ExistingFile);
    dLoadFW.setAcceptMode(QFileDialog::AcceptOpen);
    dLoadFW.setOption(QFileDialog::ReadOnly, true);
    dLoadFW.setSizeGripEnabled(true);
    if (dLoadFW.exec() != QDialog::Accepted || dLoadFW.selectedFiles().isEmpty())
        return {};
    return dLoadFW.selectedFiles().first();
}
