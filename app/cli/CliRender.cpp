#include "app/cli/CliRender.h"

#include "util/MyFunctions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::string BarText(const TProgressBarState& Bar, int Width)
{
    const int Filled = Bar.Steps(Width);
    std::string Text = "[";
    Text.append(static_cast<std::size_t>(Filled), '#');
    Text.append(static_cast<std::size_t>(Width - Filled), '.');
    Text += ']';
    return Text;
}

bool ProgressState(TUpdateState State)
{
    return State != TUpdateState::Idle && State != TUpdateState::Finished;
}

std::string IdentityLine(const TUpdateDisplay& D, bool ExternalGPS)
{
    if (D.vUnitID.empty() && D.vVersion.empty())
        return {};
    std::string Line = (ExternalGPS ? "Module " : "Unit ") + D.vUnitID + ":";
    std::string Sep = " ";
    auto Part = [&](const std::string& Label, const std::string& Value) {
        if (Value.empty())
            return;
        Line += Sep + Label + Value;
        Sep = ", ";
    };
    Part(ExternalGPS ? "controller " : "firmware ", D.vVersion);
    Part("", D.vClass);
    Part("hardware ", D.vVersionInfo);
    Part("", D.vHWVer);
    return Line;
}

namespace
{

std::string Padded(int Percent)
{
    std::string S = std::to_string(Percent) + "%";
    return std::string(S.size() < 5 ? 5 - S.size() : 0, ' ') + S;
}

bool IsPercentText(const std::string& S)
{
    return !S.empty() && S.back() == '%';
}

} // namespace

std::string ProgressLine(const TUpdateDisplay& D, bool Terminal)
{
    const TProgressBarState& S = D.pSendProgress;
    const TProgressBarState& U = D.pUpdateProgress;
    if (Terminal)
        return "send " + BarText(S, 20) + Padded(S.Percent()) + "  update " + BarText(U, 20) +
               Padded(U.Percent()) + (D.vProgress.empty() ? "" : "  " + D.vProgress);
    return "Progress: send " + std::to_string(S.Percent()) + "% (" + std::to_string(S.Position) + "/" +
           std::to_string(S.Maximum) + "), update " + std::to_string(U.Percent()) + "% (" +
           std::to_string(U.Position) + "/" + std::to_string(U.Maximum) + ")" +
           (D.vProgress.empty() ? "" : ", " + D.vProgress);
}

TRenderOutput TTextRenderer::Update(const TUpdateDisplay& D)
{
    TRenderOutput Out;
    const std::string Identity = IdentityLine(D, FExternalGPS);
    if (Identity != FLastIdentity && !Identity.empty())
        Out.Lines.push_back(Identity);
    FLastIdentity = Identity;
    if ((FFirst || D.vGPSCurrent != FLast.vGPSCurrent) && !D.vGPSCurrent.empty())
        Out.Lines.push_back("Current version: " + D.vGPSCurrent);
    if ((FFirst || D.vGPSNeeded != FLast.vGPSNeeded) && !D.vGPSNeeded.empty())
        Out.Lines.push_back("Required version: " + D.vGPSNeeded);
    // A unit goes from its transfer to state 3 only once every record is in it.
    if (!FFirst && !FExternalGPS && FLast.UpdateState == TUpdateState::TransferStart &&
        D.UpdateState == TUpdateState::Busy && FLast.pSendProgress.Maximum > 0) {
        TUpdateDisplay Done = FLast;
        Done.pSendProgress.SetPosition(Done.pSendProgress.Maximum);
        Done.vProgress = "100.0%";
        Out.TransferDone = ProgressLine(Done, FTerminal);
    }
    if (!FFirst && D.UpdateState != FLast.UpdateState)
        Out.Lines.push_back("State " + std::to_string(static_cast<int>(D.UpdateState)) + ": " +
                            StatePhrase(D.UpdateState, FExternalGPS));

    if (ProgressState(D.UpdateState)) {
        if (FTerminal) {
            Out.Progress = ProgressLine(D, true);
        } else {
            // A line per tenth of either bar, and for each word the device's
            // progress text turns to ("Preparing", "Waiting", "Updating").
            const std::string Key = std::to_string(static_cast<int>(D.UpdateState)) + "/" +
                                    std::to_string(D.pSendProgress.Percent() / 10) + "/" +
                                    std::to_string(D.pUpdateProgress.Percent() / 10) + "/" +
                                    (IsPercentText(D.vProgress) ? std::string("%") : D.vProgress);
            if (Key != FLastPlainKey)
                Out.Progress = ProgressLine(D, false);
            FLastPlainKey = Key;
        }
    } else {
        FLastPlainKey.clear();
    }
    FLast = D;
    FFirst = false;
    return Out;
}

TPace TPaceMeter::Update(const TTransferProgress& P)
{
    TPace Pace;
    Pace.Elapsed = P.Seconds;
    Pace.LineUse = LineUse(P.LineBytes, P.LineRate, P.Seconds);
    Pace.Paced = PortPaces(P.LineBytes, P.LineRate, P.Seconds);
    if (P.Ended) {
        // The transfer's own figures: its whole time, nothing left.
        Pace.Rate = P.Seconds > 0 ? static_cast<double>(P.ImageDone) / P.Seconds : 0.0;
        Pace.Left = 0;
        return Pace;
    }
    if (!FStarted) {
        if (P.ImageDone > 0) {
            FStarted = true;
            FStartSeconds = P.Seconds;
            FStartDone = P.ImageDone;
        }
        return Pace;
    }
    const double Span = P.Seconds - FStartSeconds;
    if (Span < 1.0 || P.ImageDone <= FStartDone)
        return Pace;
    Pace.Rate = static_cast<double>(P.ImageDone - FStartDone) / Span;
    Pace.Left =
        P.ImageBytes > P.ImageDone ? static_cast<double>(P.ImageBytes - P.ImageDone) / Pace.Rate : 0.0;
    return Pace;
}

std::string DurationText(double Seconds)
{
    const auto Total = static_cast<int64_t>(std::llround(std::max(Seconds, 0.0)));
    const int64_t H = Total / 3600, M = Total / 60 % 60, S = Total % 60;
    char Buf[40];
    if (H > 0)
        std::snprintf(Buf, sizeof Buf, "%lld:%02lld:%02lld", static_cast<long long>(H),
                      static_cast<long long>(M), static_cast<long long>(S));
    else
        std::snprintf(Buf, sizeof Buf, "%lld:%02lld", static_cast<long long>(M), static_cast<long long>(S));
    return Buf;
}

std::string RateText(double BytesPerSecond)
{
    if (BytesPerSecond < 1000)
        return std::to_string(static_cast<int64_t>(std::llround(BytesPerSecond))) + " B/s";
    if (BytesPerSecond < 1e6)
        return FixedText(BytesPerSecond / 1e3, 1) + " kB/s";
    return FixedText(BytesPerSecond / 1e6, 1) + " MB/s";
}

std::string PaceText(const TPace& Pace)
{
    std::string Text = "  " + DurationText(Pace.Elapsed);
    if (Pace.Rate > 0)
        Text += ", " + RateText(Pace.Rate);
    if (Pace.Left >= 0)
        Text += ", " + DurationText(Pace.Left) + " left";
    return Text;
}

double LineUse(uint64_t LineBytes, uint32_t LineRate, double Seconds)
{
    if (LineRate == 0 || Seconds <= 0)
        return 0;
    // Ten bits a byte on the line: start, eight data bits, stop.
    return static_cast<double>(LineBytes) * 10.0 / (static_cast<double>(LineRate) * Seconds);
}

bool PortPaces(uint64_t LineBytes, uint32_t LineRate, double Seconds)
{
    // Bytes still in the port's buffers when the clock stops make a paced
    // line look a little faster than it is, and a buffer filled at the start
    // much faster: judged only once a second's worth of bytes went out, and
    // only half again above the rate counts. An unpaced port is many times
    // above it (a pty moves hundreds of kB/s whatever the rate).
    if (LineRate == 0 || static_cast<double>(LineBytes) * 10.0 < static_cast<double>(LineRate))
        return true;
    return LineUse(LineBytes, LineRate, Seconds) <= 1.5;
}

double ImageRate(const TUpdateOutcome& O)
{
    return O.Transferred && O.TransferSeconds > 0 ? static_cast<double>(O.ImageBytes) / O.TransferSeconds
                                                  : 0.0;
}

std::string TransferSummary(const TUpdateOutcome& O)
{
    if (O.TransferSeconds <= 0 || O.ImageBytes == 0)
        return {};
    std::string Text =
        "Transfer: " + GroupedNumber(static_cast<int64_t>(O.ImageBytes)) + " bytes in " +
        (O.TransferSeconds < 60 ? FixedText(O.TransferSeconds, 1) + " s" : DurationText(O.TransferSeconds));
    if (O.Transferred)
        Text += " (" + RateText(ImageRate(O)) + ")";
    else
        Text += ", not complete";
    if (O.LineRate == 0)
        return Text;
    if (!PortPaces(O.TransferLineBytes, O.LineRate, O.TransferSeconds))
        return Text + "; the port does not pace its bytes: no line figures";
    // A paced line measured a little short of its end may read just over 100 %.
    const double Use = std::min(1.0, LineUse(O.TransferLineBytes, O.LineRate, O.TransferSeconds));
    return Text + "; " + std::to_string(static_cast<int>(std::lround(Use * 100))) + " % of the line's " +
           GroupedNumber(O.LineRate) + " bit/s used";
}

namespace
{

std::string Cell(const std::string& Text, std::size_t Width)
{
    std::string S = Text.empty() ? "-" : Text;
    if (S.size() > Width)
        S = S.substr(0, Width - 1) + "~";
    return S + std::string(Width + 2 - S.size(), ' ');
}

} // namespace

std::vector<std::string> TableLines(const std::vector<TCliRow>& Rows)
{
    std::vector<std::string> Lines;
    Lines.push_back(Cell("PORT", 12) + Cell("ADAPTER", 12) + Cell("DEVICE", 10) + Cell("DONE", 5) +
                    Cell("RATE", 10) + Cell("LEFT", 7) + "STEP");
    std::vector<std::string> Ended;
    for (const TCliRow& R : Rows) {
        Lines.push_back(Cell(R.Port, 12) + Cell(R.Adapter, 12) + Cell(R.DeviceID, 10) + Cell(R.Progress, 5) +
                        Cell(R.Rate, 10) + Cell(R.Left, 7) +
                        (R.Outcome.empty() ? R.Step : R.Outcome + ": " + R.Step));
        if (!R.Outcome.empty())
            Ended.push_back(R.Outcome);
    }
    Lines.push_back(std::to_string(Ended.size()) + " of " + std::to_string(Rows.size()) + " ended" +
                    (Ended.empty() ? "" : ": " + OutcomeCounts(Ended)));
    return Lines;
}

std::string OutcomeCounts(const std::vector<std::string>& Outcomes)
{
    std::vector<std::pair<std::string, int>> Counts;
    for (const std::string& O : Outcomes) {
        auto It = std::find_if(Counts.begin(), Counts.end(), [&](const auto& C) { return C.first == O; });
        if (It == Counts.end())
            Counts.emplace_back(O, 1);
        else
            ++It->second;
    }
    std::string Text;
    for (const auto& [Name, Count] : Counts)
        Text += (Text.empty() ? "" : ", ") + std::to_string(Count) + " " + Name;
    return Text;
}
