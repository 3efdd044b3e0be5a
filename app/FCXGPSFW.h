#pragma once
// TFCXGPSFW: the tool's one window. It holds the controls at their fixed
// places, forwards the user's actions to the update session and shows the
// session's display data whenever it changes; the update itself lives in
// TUpdateSession.
#include "app/UpdateSession.h"

#include <QLabel>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QComboBox;
class QMessageBox;
class QProgressBar;
class QPushButton;
class TLedPanel;
class TPortComboBox;

// A label panel that reports double-clicks (pGPSCurrent, pGPSNeeded).
class TClickPanel : public QLabel
{
    Q_OBJECT

  public:
    using QLabel::QLabel;

  signals:
    void DoubleClicked();

  protected:
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
};

class TFCXGPSFW : public QWidget
{
    Q_OBJECT

  public:
    // Arguments: the program's arguments without the program name.
    explicit TFCXGPSFW(const std::vector<std::string>& Arguments = {}, QWidget* Parent = nullptr);
    ~TFCXGPSFW() override;

    TUpdateSession& Session() { return *FSession; }

    // The two dialogs, replaceable (tests answer them without a user).
    // dLoadFW: the chosen file's full path, empty when cancelled.
    std::function<QString()> ChooseFirmwareFile;
    // An error box with one OK button.
    std::function<void(const QString& Message)> ShowErrorBox;
    // Ends the application (status 0); replaceable for tests.
    std::function<void()> Quit;

    // SIGTERM, SIGHUP, SIGINT: like "Close", but a signal cannot be asked:
    // the unit's link is ended, the ports closed, and the application quits.
    // While the receiver programs the first signal waits for it to finish
    // (or for the confirmation time to pass); a second one ends at once.
    void EndOnSignal(int Signal);

    // The question asked before "Close", "Off", "Open" or closing the window
    // while the receiver may be programming (default answer: keep waiting),
    // and before "Open" while an image is being sent (default: go on), while
    // it is shown. It stays until answered, or until its reason passes (the
    // run ended behind it): then it closes itself and the request is carried
    // out, now harmlessly. A transfer that goes on into programming asks the
    // programming question instead.
    QMessageBox* Question() const { return FQuestion; }

    // The controls, named as on the form.
    QPushButton* bOpen;
    QPushButton* bClose;
    QPushButton* bOff;
    QComboBox* cDeviceType;
    TPortComboBox* cComNumber;
    TLedPanel* tlTX;
    TLedPanel* tlRX;
    QLabel* pUnitInfo;
    QLabel* vUnitID;
    QLabel* vVersion;
    QLabel* vClass;
    QLabel* vVersionInfo;
    QLabel* vHWVer;
    TClickPanel* pGPSCurrent;
    QLabel* vGPSCurrent;
    TClickPanel* pGPSNeeded;
    QLabel* vGPSNeeded;
    TLedPanel* lGPSData;
    QLabel* pProgress;
    QProgressBar* pSendProgress;
    QProgressBar* pUpdateProgress;
    QLabel* vProgress;
    QLabel* vStatus;

  private:
    enum class TRequest { None, Open, Close, Off, CloseWindow };
    // Why a request is asked about first.
    enum class TRisk { None, Transfer, Programming };

    // Runs a user action; what it raises goes to the application's handler.
    template <typename F> void Action(F&& Body);
    void ShowDisplay();
    QString StatusLine(int Room) const;
    QString RunLoadDialog();
    void ShowOutcome(const TUpdateOutcome& Outcome);
    TRisk RiskOf(TRequest What) const;
    // Carries Request out, or asks first while the receiver may be programming
    // (or, for Open, while an image goes out).
    void Request(TRequest What);
    // RunEnded: the run ended behind the question; its outcome stays shown.
    void CarryOut(TRequest What, bool RunEnded = false);
    void Answered(bool Interrupt);
    // The session moved on: a question or a signal that waited for it may go ahead.
    void ReasonMayHavePassed();
    void EndNow(const std::string& Why);
    void closeEvent(QCloseEvent* Event) override;

    // The firmware the window carries, handed to its session.
    TFirmwareStore FStore;
    std::unique_ptr<TUpdateSession> FSession;
    QMessageBox* FQuestion = nullptr;
    TRequest FAsked = TRequest::None;
    TRisk FAskedRisk = TRisk::None;
    // The port the session was opened on: while it may still hold, follow or
    // keep a confirmation for the device there, the port list leaves it alone.
    int FSessionPort = 0;
    bool FMayClose = false;
    // A signal arrived while the receiver programmed: its name, until the
    // window closes once the receiver has finished.
    std::string FSignalWaiting;
    bool FEndingOnSignal = false;
};
