// The text and JSON renderings of the session's display.
#include "app/cli/CliLists.h"
#include "app/cli/CliRender.h"
#include "app/cli/CliRunView.h"
#include "app/cli/JsonOut.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <cmath>

namespace
{

TUpdateDisplay Identified()
{
    TUpdateDisplay D;
    D.vUnitID = "123456";
    D.vVersion = "2.40";
    D.vClass = "Veltrac Track";
    D.vVersionInfo = "2e5";
    D.vHWVer = "C";
    return D;
}

QJsonObject Parsed(const std::string& Json)
{
    QJsonParseError Error;
    const QJsonDocument Doc = QJsonDocument::fromJson(QByteArray::fromStdString(Json), &Error);
    EXPECT_EQ(Error.error, QJsonParseError::NoError) << Json;
    EXPECT_TRUE(Doc.isObject()) << Json;
    return Doc.object();
}

} // namespace

TEST(CliRender, LinesOnlyForWhatChanged)
{
    TTextRenderer R(false, false);
    EXPECT_TRUE(R.Update(TUpdateDisplay()).Lines.empty());

    TUpdateDisplay D = Identified();
    auto Out = R.Update(D);
    ASSERT_EQ(Out.Lines.size(), 1u);
    EXPECT_EQ(Out.Lines[0], "Unit 123456: firmware 2.40, Veltrac Track, hardware 2e5, C");
    EXPECT_TRUE(R.Update(D).Lines.empty());

    D.vGPSCurrent = "AXN_old";
    D.vGPSNeeded = "AXN_new";
    D.UpdateState = TUpdateState::TransferStart;
    Out = R.Update(D);
    ASSERT_EQ(Out.Lines.size(), 3u);
    EXPECT_EQ(Out.Lines[0], "Current version: AXN_old");
    EXPECT_EQ(Out.Lines[1], "Required version: AXN_new");
    EXPECT_EQ(Out.Lines[2], "State 1: writing the image into the unit");

    // A restart clears everything; the same identity shown again is printed again.
    TUpdateDisplay Reset;
    Out = R.Update(Reset);
    ASSERT_EQ(Out.Lines.size(), 1u);
    EXPECT_EQ(Out.Lines[0], "State 0: reading the unit and its receiver");
    Out = R.Update(D);
    EXPECT_EQ(Out.Lines.front(), "Unit 123456: firmware 2.40, Veltrac Track, hardware 2e5, C");
}

TEST(CliRender, ModuleIdentity)
{
    TUpdateDisplay D;
    D.DeviceType = dtExternalGPS;
    D.vUnitID = "00C0FFEE";
    D.vVersion = "2.10";
    D.vClass = "EGPS-3339";
    EXPECT_EQ(IdentityLine(D, true), "Module 00C0FFEE: controller 2.10, EGPS-3339");
    EXPECT_EQ(IdentityLine(TUpdateDisplay(), true), "");
}

TEST(CliRender, TerminalProgressFollowsEveryChange)
{
    TTextRenderer R(false, true);
    TUpdateDisplay D = Identified();
    D.UpdateState = TUpdateState::TransferStart;
    D.pSendProgress.SetMaximum(40);
    D.pSendProgress.SetPosition(10);
    D.vProgress = "25.0%";
    auto Out = R.Update(D);
    EXPECT_EQ(Out.Progress, "send [#####...............]  25%  update [....................]   0%  25.0%");
    D.pSendProgress.SetPosition(11);
    D.vProgress = "27.5%";
    Out = R.Update(D);
    EXPECT_EQ(Out.Progress, "send [#####...............]  27%  update [....................]   0%  27.5%");
    // Finished: no progress line any more.
    D.UpdateState = TUpdateState::Finished;
    EXPECT_EQ(R.Update(D).Progress, "");
}

TEST(CliRender, PlainProgressOneLinePerTenth)
{
    TTextRenderer R(false, false);
    TUpdateDisplay D = Identified();
    D.UpdateState = TUpdateState::TransferStart;
    D.pSendProgress.SetMaximum(1000);
    D.vProgress = "0.0%";
    int Printed = 0;
    for (int i = 0; i <= 1000; ++i) {
        D.pSendProgress.SetPosition(i);
        D.vProgress = std::to_string(i / 10) + ".0%";
        if (!R.Update(D).Progress.empty())
            ++Printed;
    }
    EXPECT_EQ(Printed, 11); // 0 %, 10 %, ..., 100 %

    // A word of the device's is always worth a line.
    D.UpdateState = TUpdateState::ModuleWaiting;
    D.vProgress = "Preparing";
    EXPECT_EQ(R.Update(D).Progress, "Progress: send 100% (1000/1000), update 0% (0/100), Preparing");
    EXPECT_EQ(R.Update(D).Progress, "");

    // A unit's transfer that ended reads complete, though the session has
    // emptied the bar for the programming by then.
    TTextRenderer U(false, false);
    TUpdateDisplay T = Identified();
    T.UpdateState = TUpdateState::TransferStart;
    T.pSendProgress.SetMaximum(1158);
    T.pSendProgress.SetPosition(1157);
    T.vProgress = "99.9%";
    EXPECT_EQ(U.Update(T).TransferDone, "");
    T.UpdateState = TUpdateState::Busy;
    T.pSendProgress.SetPosition(0);
    const TRenderOutput Out = U.Update(T);
    EXPECT_EQ(Out.TransferDone, "Progress: send 100% (1158/1158), update 0% (0/100), 100.0%");
    EXPECT_EQ(Out.Lines.at(0), "State 3: the unit programs its receiver");
}

TEST(CliRender, Bars)
{
    TProgressBarState B;
    B.SetMaximum(0);
    EXPECT_EQ(B.Percent(), 0);
    EXPECT_EQ(BarText(B, 4), "[....]");
    B.SetMaximum(3);
    B.SetPosition(3);
    EXPECT_EQ(B.Percent(), 100);
    EXPECT_EQ(BarText(B, 4), "[####]");
    // A maximum near the 32-bit limit must not overflow the percentage.
    B.SetMaximum(2000000000);
    B.SetPosition(1999999999);
    EXPECT_EQ(B.Percent(), 99);
}

TEST(CliJson, StringsOfAnyBytesStayValid)
{
    const std::string Nasty =
        std::string("quote\" back\\ nl\n tab\t nul", 25) + std::string(1, '\0') + "\x7F\xE9\xFF";
    const QJsonObject O = Parsed(TJsonObject().Add("v", Nasty).Str());
    const QString V = O.value("v").toString();
    EXPECT_EQ(V.size(), static_cast<qsizetype>(Nasty.size()));
    EXPECT_EQ(V.at(V.size() - 2).unicode(), 0xE9);
    EXPECT_EQ(V.at(V.size() - 1).unicode(), 0xFF);
    EXPECT_EQ(V.left(6), "quote\"");
}

TEST(CliJson, NumbersAndNull)
{
    const QJsonObject O = Parsed(
        TJsonObject().Add("i", -5).Add("d", 2.5).Add("b", true).AddNull("n").AddRaw("a", "[1,2]").Str());
    EXPECT_EQ(O.value("i").toInt(), -5);
    EXPECT_DOUBLE_EQ(O.value("d").toDouble(), 2.5);
    EXPECT_TRUE(O.value("b").toBool());
    EXPECT_TRUE(O.value("n").isNull());
    EXPECT_EQ(O.value("a").toArray().size(), 2);
    // Seconds to the millisecond and rates to a tenth, as a record keeps them.
    EXPECT_EQ(TJsonObject().Add("s", 11.984999999999999, 3).Add("r", 7234.46, 1).Add("z", 0.0, 3).Str(),
              "{\"s\":11.985,\"r\":7234.5,\"z\":0.000}");
    EXPECT_EQ(TJsonObject().Add("x", std::nan(""), 3).Add("big", 1e300, 3).Str().substr(0, 20),
              "{\"x\":null,\"big\":1000");
}

TEST(CliJson, DisplayCarriesEveryPanel)
{
    TUpdateDisplay D = Identified();
    D.DeviceType = dtExternalGPS;
    D.UpdateState = TUpdateState::Busy;
    D.vGPSCurrent = "cur";
    D.vGPSNeeded = "need";
    D.vProgress = "12%";
    D.pUpdateProgress.SetMaximum(8);
    D.pUpdateProgress.SetPosition(1);
    const QJsonObject O = Parsed(DisplayJson(D));
    EXPECT_EQ(O.value("event").toString(), "display");
    EXPECT_EQ(O.value("device").toString(), "egps");
    EXPECT_EQ(O.value("state").toInt(), 3);
    EXPECT_EQ(O.value("device_id").toString(), "123456");
    EXPECT_EQ(O.value("firmware").toString(), "2.40");
    EXPECT_EQ(O.value("model").toString(), "Veltrac Track");
    EXPECT_EQ(O.value("hardware").toString(), "2e5");
    EXPECT_EQ(O.value("hardware_revision").toString(), "C");
    EXPECT_EQ(O.value("current").toString(), "cur");
    EXPECT_EQ(O.value("required").toString(), "need");
    EXPECT_EQ(O.value("progress").toString(), "12%");
    EXPECT_EQ(O.value("update").toObject().value("position").toInt(), 1);
    EXPECT_EQ(O.value("update").toObject().value("maximum").toInt(), 8);
    EXPECT_EQ(O.value("send").toObject().value("maximum").toInt(), 100);
    EXPECT_FALSE(O.value("confirming").toBool());
    EXPECT_TRUE(O.value("status").isString());

    const QJsonObject S = Parsed(StateJson(TUpdateState::TransferStart, TUpdateState::Busy, true));
    EXPECT_EQ(S.value("state").toInt(), 3);
    EXPECT_EQ(S.value("previous").toInt(), 1);
    EXPECT_EQ(S.value("text").toString(), "sending the image to the module");
}

TEST(CliJson, EventsOfSeveralPortsNameTheirPort)
{
    // Right after the event's name, whatever follows it.
    EXPECT_EQ(JsonWithPort("{\"event\":\"display\",\"state\":3}", 5, "/dev/ttyUSB0"),
              "{\"event\":\"display\",\"com\":5,\"device_path\":\"/dev/ttyUSB0\",\"state\":3}");
    EXPECT_EQ(JsonWithPort("{\"event\":\"x\"}", 0, "/dev/pts/7"),
              "{\"event\":\"x\",\"com\":null,\"device_path\":\"/dev/pts/7\"}");
    EXPECT_EQ(JsonWithPort("{}", 2, ""), "{\"com\":2,\"device_path\":\"\"}");
    // The result line names its port itself.
    const std::string Result = "{\"event\":\"result\",\"com\":null,\"device_path\":\"/dev/a\"}";
    EXPECT_EQ(JsonWithPort(Result, 5, "/dev/b"), Result);
}

// The --json display events' pace: every display that is not followed at
// once by a newer one goes out, none twice, and a bar's start or end never waits.
TEST(CliJson, DisplayEventsPaced)
{
    std::vector<TUpdateDisplay> Out;
    TJsonDisplayPacer Pacer([&](const TUpdateDisplay& D) { Out.push_back(D); });
    auto Bar = [](int Position) {
        TUpdateDisplay D = Identified();
        D.pSendProgress.Set(Position, 100);
        return D;
    };
    auto Count = [&](const TUpdateDisplay& D) { return std::count(Out.begin(), Out.end(), D); };

    Pacer.Show(Bar(0), true);
    Pacer.Show(Bar(0), false);
    EXPECT_EQ(Out.size(), 1u) << "the same display again is no event";

    // Soon after: it goes out now or waits; either way once, by the flush.
    Pacer.Show(Bar(10), false);
    Pacer.Show(Bar(20), false);
    Pacer.Flush();
    Pacer.Flush();
    EXPECT_EQ(Count(Bar(20)), 1);
    EXPECT_LE(Count(Bar(10)), 1);
    EXPECT_EQ(Out.back(), Bar(20));

    // The bar at its end goes out at once, however soon after the last event.
    Pacer.Show(Bar(100), false);
    EXPECT_EQ(Out.back(), Bar(100));
    Pacer.Show(Bar(100), true);
    EXPECT_EQ(Count(Bar(100)), 2) << "at once is at once, even unchanged";

    // One that waits goes out by itself from the event loop.
    Pacer.Show(Bar(50), true);
    Pacer.Show(Bar(60), false);
    QElapsedTimer Waited;
    Waited.start();
    while (Count(Bar(60)) == 0 && Waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(Count(Bar(60)), 1);
    Pacer.Flush();
    EXPECT_EQ(Count(Bar(60)), 1);
}

TEST(CliLists, PortRows)
{
    const std::vector<TPortRow> Rows = {{5, "/tmp/x/com5", "/dev/pts/3", "free"},
                                        {1, "/dev/ttyS0", "", "in use"}};
    const auto Text = PortListText(Rows);
    ASSERT_EQ(Text.size(), 2u);
    EXPECT_EQ(Text[0].substr(0, 9), "COM 5    ");
    EXPECT_NE(Text[0].find("/tmp/x/com5 -> /dev/pts/3"), std::string::npos);
    EXPECT_EQ(Text[0].substr(Text[0].size() - 4), "free");
    EXPECT_EQ(Text[1].substr(Text[1].size() - 6), "in use");
    const auto Json = PortListJson(Rows);
    ASSERT_EQ(Json.size(), 2u);
    const QJsonObject First = Parsed(Json[0]);
    EXPECT_EQ(First.value("number").toInt(), 5);
    EXPECT_EQ(First.value("target").toString(), "/dev/pts/3");
    EXPECT_TRUE(Parsed(Json[1]).value("target").isNull());
    EXPECT_NE(PortListText({}).at(0).find("No ports"), std::string::npos);
}

TEST(CliLists, PortRowsWithoutPermission)
{
    TPortRow Row{33, "/dev/ttyUSB0", "", "in use"};
    Row.NoPermission = true;
    const auto Text = PortListText({Row});
    ASSERT_EQ(Text.size(), 1u);
    EXPECT_TRUE(Text[0].ends_with("in use (no permission: join the group dialout)")) << Text[0];
    const QJsonObject J = Parsed(PortListJson({Row}).at(0));
    EXPECT_EQ(J.value("state").toString(), "in use");
    EXPECT_TRUE(J.value("no_permission").toBool());
    EXPECT_TRUE(J.value("adapter").isNull());
}

TEST(CliLists, Revisions)
{
    std::bitset<256> R;
    EXPECT_EQ(RevisionList(R), "any");
    R.set(0);
    R.set(7);
    R.set(255);
    EXPECT_EQ(RevisionList(R), "0,7,255");
}

TEST(CliRender, TransferPace)
{
    EXPECT_EQ(DurationText(0.4), "0:00");
    EXPECT_EQ(DurationText(63), "1:03");
    EXPECT_EQ(DurationText(3787), "1:03:07");
    EXPECT_EQ(RateText(850), "850 B/s");
    EXPECT_EQ(RateText(4712), "4.7 kB/s");
    EXPECT_EQ(RateText(1.26e6), "1.3 MB/s");

    // The rate counts from the first record the device took: a long
    // preparation before it does not make the rest look slow.
    TPaceMeter Meter;
    TTransferProgress P;
    P.Active = true;
    P.ImageBytes = 100000;
    P.LineRate = 57600;
    P.Seconds = 30;
    TPace Pace = Meter.Update(P);
    EXPECT_EQ(Pace.Rate, 0);
    EXPECT_LT(Pace.Left, 0);
    EXPECT_EQ(PaceText(Pace), "  0:30");
    P.ImageDone = 1000;
    Meter.Update(P);
    P.Seconds = 40;
    P.ImageDone = 51000;
    P.LineBytes = 60000;
    Pace = Meter.Update(P);
    EXPECT_DOUBLE_EQ(Pace.Rate, 5000);
    EXPECT_DOUBLE_EQ(Pace.Left, 9.8);
    EXPECT_DOUBLE_EQ(Pace.LineUse, 600000.0 / (57600.0 * 40));
    EXPECT_EQ(PaceText(Pace), "  0:40, 5.0 kB/s, 0:10 left");

    TUpdateOutcome O;
    EXPECT_EQ(TransferSummary(O), "") << "no transfer, no summary";
    O.Transferred = true;
    O.ImageBytes = 524288;
    O.TransferSeconds = 64;
    O.TransferLineBytes = 368640;
    O.LineRate = 57600;
    EXPECT_EQ(TransferSummary(O),
              "Transfer: 524,288 bytes in 1:04 (8.2 kB/s); 100 % of the line's 57,600 bit/s used");
    O.TransferLineBytes = 12384;
    O.TransferSeconds = 4.3;
    O.Transferred = false;
    EXPECT_EQ(TransferSummary(O),
              "Transfer: 524,288 bytes in 4.3 s, not complete; 50 % of the line's 57,600 bit/s used");
    EXPECT_EQ(ImageRate(O), 0) << "an incomplete transfer has no rate";
    EXPECT_DOUBLE_EQ(LineUse(36864, 57600, 64), 0.1);
    EXPECT_EQ(LineUse(1, 0, 1), 0);

    // A port that moved the bytes far faster than its rate allows (a pty)
    // has no line figures; a buffer filled at the start is no sign of it.
    O.Transferred = true;
    O.TransferSeconds = 0.8;
    O.TransferLineBytes = 600000;
    EXPECT_DOUBLE_EQ(LineUse(600000, 57600, 0.8), 6000000.0 / (57600 * 0.8)) << "not capped";
    EXPECT_FALSE(PortPaces(600000, 57600, 0.8));
    EXPECT_EQ(
        TransferSummary(O),
        "Transfer: 524,288 bytes in 0.8 s (655.4 kB/s); the port does not pace its bytes: no line figures");
    EXPECT_TRUE(PortPaces(5000, 57600, 0.01));
    EXPECT_TRUE(PortPaces(8640, 57600, 1.0)) << "half again above the rate is measuring error";
    EXPECT_FALSE(PortPaces(8641 * 2, 57600, 2.0));
    P.LineBytes = 600000;
    EXPECT_FALSE(Meter.Update(P).Paced);
    // Once the last part went out, the transfer's own figures.
    P.Ended = true;
    P.Seconds = 50;
    P.ImageDone = P.ImageBytes;
    Pace = Meter.Update(P);
    EXPECT_DOUBLE_EQ(Pace.Rate, static_cast<double>(P.ImageBytes) / 50);
    EXPECT_EQ(Pace.Left, 0);
}
