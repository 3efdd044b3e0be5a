#include "app/FCXGPSFW.h"

#include "app/SessionStatus.h"
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

// Text shortened to Room so that what to do stays in view: its head
// ("Failed: "), as much of why as fits, then the advice (from the last ": "
// before the first "; ", or else after that "; "); when neither fits, the
// head and the advice's beginning.
QString WithAdviceInView(const QString& Whole, const QFontMetrics& M, int Room)
{
    const qsizetype HeadEnd = Whole.indexOf(": ");
    if (M.horizontalAdvance(Whole) <= Room || HeadEnd < 0)
        return M.elidedText(Whole, Qt::ElideRight, Room);
    const QString Head = Whole.left(HeadEnd + 2);
    const QString Body = Whole.mid(HeadEnd + 2);
    const qsizetype Semi = Body.indexOf("; ");
    const qsizetype Colon = Body.lastIndexOf(": ", Semi < 0 ? -1 : Semi);
    if (Colon < 0)
        return M.elidedText(Whole, Qt::ElideRight, Room);
    for (const qsizetype From : {Colon + 2, Semi + 2}) {
        if (From < Colon + 2)
            continue; // no "; " after the advice's start
        const QString Advice = Body.mid(From);
        const int Left = Room - M.horizontalAdvance(Head + " " + Advice);
        if (Left >= 12 * M.averageCharWidth())
            return Head + M.elidedText(Body.left(From).trimmed(), Qt::ElideRight, Left) + " " + Advice;
    }
    return Head + M.elidedText(Body.mid(Colon + 2), Qt::ElideRight, Room - M.horizontalAdvance(Head));
}

// What is asked before a request that may harm the receiver (or a transfer under way).
QString QuestionText(bool Programming)
{
    return Programming ? Text(SessionText::ProgrammingWarning) + "\n\nInterrupt anyway?"
                       : Text(SessionText::TransferWarning) + "\n\nStart again?";
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

    FSession = std::make_unique<TUpdateSession>(FStore, Arguments);
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
        &S, &TUpdateSession::Finished, this,
        [this](const TUpdateOutcome& O) {
            ShowOutcome(O);
            ReasonMayHavePassed();
        },
        Qt::QueuedConnection);

    connect(bOpen, &QPushButton::clicked, this, [this] { Request(TRequest::Open); });
    connect(bClose, &QPushButton::clicked, this, [this] { Request(TRequest::Close); });
    connect(bOff, &QPushButton::clicked, this, [this] { Request(TRequest::Off); });
    connect(cDeviceType, &QComboBox::currentIndexChanged, this, [this](int Index) {
        Action([&] {
            if (!FSession->SetDeviceType(Index))
                ShowDisplay();
        });
    });
    cComNumber->PortKept = [this](int ComNumber) {
        const TUpdateSession& S = *FSession;
        return ComNumber == FSessionPort && (S.ReceiverAtRisk() || !S.KeptConfirmation().empty() ||
                                             S.UnitProcedure().PortOpen() || S.ModuleProcedure().PortOpen());
    };
    cComNumber->OnChange = [this](TPortComboBox*) {
        Action([&] { FSession->SetComNumber(cComNumber->ComNumber()); });
    };
    connect(pGPSCurrent, &TClickPanel::DoubleClicked, this, [this] { Action([&] { FSession->Recover(); }); });
    connect(pGPSNeeded, &TClickPanel::DoubleClicked, this,
            [this] { Action([&] { FSession->SendImage(); }); });

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
    const int Room = vStatus->contentsRect().width() - 2 * vStatus->indent();
    vStatus->setText(StatusLine(Room));
    QString Tip = Text(D.Status);
    if (!FSignalWaiting.empty())
        Tip = vStatus->text() + "\n" + Tip;
    vStatus->setToolTip(Tip);
    ReasonMayHavePassed();
}

// What fits the line: a finished update with the essential first (the
// receiver's new version, shortened in its middle, then the firmware written),
// anything else shortened with what to do in view; the whole text is the tooltip.
QString TFCXGPSFW::StatusLine(int Room) const
{
    const QFontMetrics M = vStatus->fontMetrics();
    if (!FSignalWaiting.empty())
        return M.elidedText(Text(FSignalWaiting) +
                                ": closing once the receiver is done; a second signal closes at once",
                            Qt::ElideRight, Room);
    const TUpdateDisplay& D = FSession->Display();
    const auto& O = FSession->Outcome();
    if (!O || D.Status != OutcomeStatus(*O) || O->Kind != TOutcomeKind::Updated)
        return WithAdviceInView(Text(D.Status), M, Room);
    QString Firmware;
    if (O->FirmwareWritten)
        Firmware = QString(O->Device == "egps" ? "controller " : "unit firmware ") + Text(O->FirmwareBefore) +
                   " " + QChar(0x2192) + " " + Text(O->FirmwareAfter);
    // A programming found under way and followed: the receiver is new, though this run wrote nothing.
    const bool Followed = O->ProgrammingFollowed && !O->ReceiverAfter.empty();
    if (!Followed && (!O->Transferred || O->ReceiverAfter.empty()))
        return Firmware.isEmpty() ? WithAdviceInView(Text(D.Status), M, Room)
                                  : M.elidedText("Finished: " + Firmware + "; receiver unchanged", Qt::ElideRight,
                                                 Room);
    const QString Head = "Finished: receiver ";
    const QString Tail = Followed ? QString("; followed its programming, wrote nothing")
                         : Firmware.isEmpty() ? QString()
                                              : "; " + Firmware;
    const int Left = Room - M.horizontalAdvance(Head + Tail);
    return Head + M.elidedText(Text(O->ReceiverAfter), Qt::ElideMiddle, std::max(Left, 0)) + Tail;
}

// The outcome is the window's to show when the update did not end well and
// nothing else said so already (errors have their own boxes).
void TFCXGPSFW::ShowOutcome(const TUpdateOutcome& Outcome)
{
    if (!ShowErrorBox)
        return;
    if (Outcome.Kind == TOutcomeKind::NotConfirmed || Outcome.Kind == TOutcomeKind::Failed)
        ShowErrorBox(Text(OutcomeStatus(Outcome)));
}

TFCXGPSFW::TRisk TFCXGPSFW::RiskOf(TRequest What) const
{
    if (What == TRequest::None)
        return TRisk::None;
    if (FSession->ReceiverAtRisk())
        return TRisk::Programming;
    if (What != TRequest::Open || FSession->Outcome())
        return TRisk::None;
    switch (FSession->UpdateState()) {
    case TUpdateState::TransferStart:
    case TUpdateState::ModuleWaiting:
    case TUpdateState::UnitFirmware:
    case TUpdateState::ModuleFirmware:
        return TRisk::Transfer;
    case TUpdateState::Busy: // the module's blocks; the unit's programming is at risk above
        return FSession->Display().DeviceType == dtExternalGPS ? TRisk::Transfer : TRisk::None;
    case TUpdateState::Idle:
    case TUpdateState::Finished:
        break;
    }
    return TRisk::None;
}

void TFCXGPSFW::Request(TRequest What)
{
    const TRisk Risk = RiskOf(What);
    if (Risk == TRisk::None) {
        CarryOut(What);
        return;
    }
    FAsked = What;
    FAskedRisk = Risk;
    if (FQuestion) {
        FQuestion->setText(QuestionText(Risk == TRisk::Programming));
        FQuestion->raise();
        return;
    }
    // Asked without a nested event loop: the session goes on behind the
    // question, and the question follows what the session does.
    FQuestion =
        new QMessageBox(QMessageBox::Warning, Text(SessionText::Caption),
                        QuestionText(Risk == TRisk::Programming), QMessageBox::Yes | QMessageBox::No, this);
    FQuestion->setDefaultButton(QMessageBox::No);
    FQuestion->setEscapeButton(QMessageBox::No);
    FQuestion->setAttribute(Qt::WA_DeleteOnClose);
    connect(FQuestion, &QMessageBox::finished, this, [this](int Result) {
        FQuestion = nullptr;
        Answered(Result == QMessageBox::Yes);
    });
    FQuestion->open();
}

void TFCXGPSFW::Answered(bool Interrupt)
{
    const TRequest What = FAsked;
    FAsked = TRequest::None;
    if (Interrupt || RiskOf(What) == TRisk::None)
        CarryOut(What);
}

void TFCXGPSFW::CarryOut(TRequest What, bool RunEnded)
{
    switch (What) {
    case TRequest::Open:
        FSessionPort = FSession->Display().ComNumber;
        Action([&] { FSession->Open(); });
        break;
    case TRequest::Close:
        // A Close meant to interrupt a run that has since ended lets the link
        // end as the run left it (a unit's turn-off on its way), and the
        // technician still reads how the run ended.
        if (RunEnded)
            Action([&] {
                FSession->EndConnection(TOutcomeKind::Interrupted, "the connection was closed", [] {});
            });
        else
            Action([&] { FSession->Close(); });
        break;
    case TRequest::Off:
        Action([&] { FSession->TurnOff(); });
        break;
    case TRequest::CloseWindow:
        FMayClose = true;
        close();
        break;
    case TRequest::None:
        break;
    }
}

void TFCXGPSFW::ReasonMayHavePassed()
{
    if (FQuestion && FAsked != TRequest::None) {
        const TRisk Risk = RiskOf(FAsked);
        if (Risk == TRisk::None) {
            // The run ended behind the question: what was asked for is harmless now.
            QMessageBox* Box = FQuestion;
            FQuestion = nullptr;
            Box->disconnect(this);
            Box->close();
            const TRequest What = FAsked;
            FAsked = TRequest::None;
            QMetaObject::invokeMethod(
                this, [this, What] { CarryOut(What, true); }, Qt::QueuedConnection);
        } else if (Risk != FAskedRisk) {
            // The transfer went on into programming: the question says so.
            FAskedRisk = Risk;
            FQuestion->setText(QuestionText(Risk == TRisk::Programming));
        }
    }
    if (FSession->ReceiverAtRisk())
        return;
    if (!FSignalWaiting.empty()) {
        const std::string Why = "ended by " + FSignalWaiting;
        FSignalWaiting.clear();
        QMetaObject::invokeMethod(
            this, [this, Why] { EndNow(Why); }, Qt::QueuedConnection);
    }
}

void TFCXGPSFW::closeEvent(QCloseEvent* Event)
{
    if (FMayClose || FEndingOnSignal || !FSession->ReceiverAtRisk()) {
        QWidget::closeEvent(Event);
        return;
    }
    // Asked once the close event is over: a window opened while the window
    // system delivers the close would be taken into it.
    Event->ignore();
    QMetaObject::invokeMethod(
        this, [this] { Request(TRequest::CloseWindow); }, Qt::QueuedConnection);
}

void TFCXGPSFW::EndOnSignal(int Signal)
{
    if (FEndingOnSignal) {
        // A second signal: no more waiting for the receiver or the unit.
        FSignalWaiting.clear();
        Action([&] { FSession->Close(); });
        if (Quit)
            Quit();
        return;
    }
    FEndingOnSignal = true;
    if (FQuestion) {
        QMessageBox* Box = FQuestion;
        FQuestion = nullptr;
        FAsked = TRequest::None;
        Box->disconnect(this);
        Box->close();
    }
    if (FSession->ReceiverAtRisk()) {
        // As the command line does: the receiver is let finish.
        FSignalWaiting = SignalName(Signal);
        ShowDisplay();
        return;
    }
    EndNow("ended by " + SignalName(Signal));
}

void TFCXGPSFW::EndNow(const std::string& Why)
{
    Action([&] {
        FSession->EndConnection(TOutcomeKind::Interrupted, Why, [this] {
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
