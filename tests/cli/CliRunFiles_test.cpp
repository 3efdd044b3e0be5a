// A run's files: the record appended a whole line at a time, the log, and
// the result line built from the outcome.
#include "CliTest.h"
#include "app/cli/CliRunFiles.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace
{

QJsonObject Parsed(const std::string& Json)
{
    QJsonParseError Error;
    const QJsonDocument Doc = QJsonDocument::fromJson(QByteArray::fromStdString(Json), &Error);
    EXPECT_EQ(Error.error, QJsonParseError::NoError) << Json;
    return Doc.object();
}

} // namespace

TEST(CliRunFiles, LogStartsAnewWithStampedLines)
{
    TTempDir Dir;
    {
        TCliRunFiles Files;
        EXPECT_EQ(Files.Open("/no-such-dir/run.log"),
                  "cannot write the log file /no-such-dir/run.log: No such file or directory");
        EXPECT_FALSE(Files.Logging());
        Files.Log("goes nowhere");
    }

    const std::string Log = Dir.File("run.log", "an older run\n");
    {
        TCliRunFiles Files;
        EXPECT_EQ(Files.Open(Log), "");
        EXPECT_TRUE(Files.Logging());
        Files.Log("# state 1: writing the image into the unit");
        Files.Log("> 02 41");
    }
    // Each run's log starts anew; every line is stamped with its time.
    const std::vector<std::string> L = Lines(ReadFile(Log));
    ASSERT_EQ(L.size(), 2u);
    const QRegularExpression Stamped(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\S* )");
    EXPECT_TRUE(Stamped.match(QString::fromStdString(L[0])).hasMatch()) << L[0];
    EXPECT_EQ(L[0].substr(L[0].find(' ') + 1), "# state 1: writing the image into the unit");
    EXPECT_EQ(L[1].substr(L[1].find(' ') + 1), "> 02 41");
}

TEST(CliResult, LineFromTheOutcome)
{
    TUpdateOutcome O;
    O.Kind = TOutcomeKind::Updated;
    O.Message = "the receiver now runs \xE9 2";
    O.FirmwareBefore = "loader";
    O.Transferred = true;
    O.ImageBytes = 1000;
    O.TransferSeconds = 2;
    O.TransferLineBytes = 1200;
    O.LineRate = 9600;
    O.ComNumber = 5;
    TResultFacts F;
    F.Name = "updated";
    F.ExitCode = 0;
    F.Current = "AXN_old";
    F.Required = "AXN_new";
    F.DevicePath = "/dev/ttyUSB0";

    QJsonObject J = Parsed(ResultJson(O, F));
    EXPECT_EQ(J.value("event").toString(), "result");
    EXPECT_EQ(J.value("result").toString(), "updated");
    EXPECT_EQ(J.value("exit_code").toInt(-1), 0);
    EXPECT_EQ(J.value("message").toString(), QString::fromLatin1("the receiver now runs \xE9 2"));
    EXPECT_EQ(J.value("current").toString(), "AXN_old");
    EXPECT_EQ(J.value("required").toString(), "AXN_new");
    EXPECT_EQ(J.value("firmware_before").toString(), "loader");
    // No station named, the path as at the start (the outcome has none).
    EXPECT_TRUE(J.value("station").isNull());
    EXPECT_EQ(J.value("device_path").toString(), "/dev/ttyUSB0");
    EXPECT_EQ(J.value("com").toInt(), 5);
    // 12,000 bits in 2 s on a 9600 bit/s line: 62.5 % used.
    EXPECT_DOUBLE_EQ(J.value("line_use").toDouble(), 0.625);
    EXPECT_DOUBLE_EQ(J.value("image_rate").toDouble(), 500.0);
    EXPECT_TRUE(J.value("adapter").isObject());
    EXPECT_TRUE(J.value("phases").isObject());
    EXPECT_TRUE(J.value("repeats").isObject());

    // A module found in its loader had no version; a pty moves its bytes
    // faster than its rate: no line figures. The outcome's own path wins.
    O.FirmwareBeforeUnknown = true;
    O.TransferLineBytes = 120000;
    O.DevicePath = "/dev/ttyUSB1";
    F.Station = "line 2";
    J = Parsed(ResultJson(O, F));
    EXPECT_TRUE(J.value("firmware_before").isNull());
    EXPECT_TRUE(J.value("line_use").isNull());
    EXPECT_EQ(J.value("device_path").toString(), "/dev/ttyUSB1");
    EXPECT_EQ(J.value("station").toString(), "line 2");
}
