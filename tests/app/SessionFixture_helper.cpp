#include "SessionFixture.h"
#include "tests/common/TestStore.h"

#include "firmware/ArchiveReader.h"
#include "serial/AppException.h"

#include "AppTestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>

void SessionTest::SetUp()
{
    ASSERT_TRUE(FDir.isValid());
    setenv("VELTRAC_COM_DIR", ComDir().c_str(), 1);
    SetApplicationExceptionHandler([this](const std::exception& E) { Exceptions.push_back(E.what()); });
}

void SessionTest::Plug(devsim::SimDevice& Device)
{
    std::string Error;
    ASSERT_TRUE(Device.PlugAs(Com, ComDir(), &Error)) << Error;
    std::shared_ptr<std::ofstream> File;
    if (const char* Path = std::getenv("VELTRAC_TEST_DEVSIM_LOG"))
        File = std::make_shared<std::ofstream>(Path, std::ios::app);
    Device.SetLogSink([Log = FLog, Lock = FLogLock, File](const std::string& Line) {
        const std::lock_guard<std::mutex> Guard(*Lock);
        Log->push_back(Line);
        if (File)
            *File << Line << std::endl;
    });
}

void SessionTest::TearDown()
{
    SetApplicationExceptionHandler({});
    if (HasFailure()) {
        const std::lock_guard<std::mutex> Guard(*FLogLock);
        const std::size_t From = FLog->size() > 160 ? FLog->size() - 160 : 0;
        std::cerr << "---- device log, last " << FLog->size() - From << " lines ----\n";
        for (std::size_t i = From; i < FLog->size(); ++i)
            std::cerr << (*FLog)[i] << "\n";
    }
    if (ExpectNoExceptions) {
        for (const auto& E : Exceptions)
            ADD_FAILURE() << "exception reached the application's handler: " << E;
    }
}

std::unique_ptr<TUpdateSession> SessionTest::NewSession(const std::vector<std::string>& Arguments)
{
    auto S = std::make_unique<TUpdateSession>(TestStore(), Arguments);
    S->OnShowError = [this](TUpdateSession*, const std::string& Message) { Errors.push_back(Message); };
    QObject::connect(S.get(), &TUpdateSession::Finished,
                     [this](const TUpdateOutcome& O) { Outcomes.push_back(O); });
    // The tool's side of the line, for failure reports.
    S->Log.OnUnitFrame = [Log = FLog, Lock = FLogLock, T = std::make_shared<QElapsedTimer>()](
                         TUpdateSession*, bool Out, uint8_t Cmd, const std::string& Data) {
        if (!T->isValid())
            T->start();
        const std::lock_guard<std::mutex> Guard(*Lock);
        char Head[48];
        std::snprintf(Head, sizeof Head, "%9.3f tool: %s %02X ", T->elapsed() / 1000.0, Out ? ">>" : "<<",
                      Cmd);
        Log->push_back(Head + Data.substr(0, 60));
    };
    S->Log.OnModuleFrame = [Log = FLog, Lock = FLogLock](TUpdateSession*, bool Out, const std::string& Bytes) {
        const std::lock_guard<std::mutex> Guard(*Lock);
        Log->push_back(std::string("tool module: ") + (Out ? ">> " : "<< ") + Hex(Bytes.substr(0, 24)));
    };
    S->OnChooseFirmwareFile = [this](TUpdateSession*) {
        ++FileQuestions;
        return FileToChoose;
    };
    return S;
}

void SessionTest::Open(TUpdateSession& S, int DeviceType)
{
    ASSERT_TRUE(S.SetDeviceType(DeviceType));
    S.SetComNumber(Com);
    S.Open();
    ASSERT_TRUE(S.Display().DeviceTypeLocked);
}

std::string ArchiveItem(const std::string& Archive, const std::string& Name)
{
    // The archive fwpack wrote next to the enciphered image, when the build made one:
    // the bytes do not pass through the tool's deciphering at all.
    std::string Copy = Archive;
    QFile Demo(VELTRAC_DEMO_ARCHIVE);
    if (std::string(VELTRAC_DEMO_ARCHIVE).size() > 0 && Demo.open(QIODevice::ReadOnly)) {
        const QByteArray Bytes = Demo.readAll();
        Copy.assign(Bytes.constData(), static_cast<std::size_t>(Bytes.size()));
    }
    auto Reader = NewArchiveReader();
    TArchiveStream Stream(Copy);
    Reader->OpenArchiveStream(Stream);
    std::string Bytes;
    for (uint32_t I = 0; I < Reader->ItemCount(); ++I)
        if (Reader->ItemPathOf(I) == Name) {
            Bytes.clear();
            Reader->ExtractItemToStream(I, Bytes, false);
        }
    Reader->CloseArchive();
    return Bytes;
}

std::string Describe(const TUpdateSession& S)
{
    const TUpdateDisplay& D = S.Display();
    return "state " + std::to_string(static_cast<int>(S.UpdateState())) + ", unit \"" + D.vUnitID + "\" \"" +
           D.vVersion + "\", current \"" + D.vGPSCurrent + "\", needed \"" + D.vGPSNeeded +
           "\", progress \"" + D.vProgress + "\", send " + std::to_string(D.pSendProgress.Position) + "/" +
           std::to_string(D.pSendProgress.Maximum) + ", update " +
           std::to_string(D.pUpdateProgress.Position) + "/" + std::to_string(D.pUpdateProgress.Maximum);
}

devsim::UnitConfig FastUnit()
{
    devsim::UnitConfig C;
    C.GpsIntervalMs = 200;
    C.ProgrammingMs = 600;
    C.AnswerWhileProgramming = devsim::BusyAnswer::Empty;
    C.WrongRateGarbage = false;
    C.LoggerIntervalMs = 100;
    C.RestartMs = 200;
    C.ReceiverVersion = Old1513;
    return C;
}

int Count(const devsim::UnitReport& R, int Cmd)
{
    const auto It = R.Commands.find(Cmd);
    return It == R.Commands.end() ? 0 : It->second;
}
