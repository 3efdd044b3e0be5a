#include "app/cli/CliOutcome.h"

#include <algorithm>

namespace
{

struct TKindCode {
    TOutcomeKind Kind;
    int Code;
    const char* Meaning;
};

// Codes are part of the interface for scripts: never renumber.
const TKindCode KindCodes[] = {
    {TOutcomeKind::Updated, 0,
     "updated: the device reported the new firmware after its programming, or the unit's own firmware or the "
     "module's controller was written"},
    {TOutcomeKind::Failed, 1, "failed: the update went wrong (message on stderr)"},
    {TOutcomeKind::UpToDate, 3, "already up to date: nothing was written"},
    {TOutcomeKind::NotSupported, 4, "update not supported for this device or receiver"},
    {TOutcomeKind::ManualFinished, 5, "manual mode finished: versions read, nothing sent"},
    {TOutcomeKind::TimedOut, 6, "timed out (--timeout); the link was closed"},
    {TOutcomeKind::PortError, 7, "port error: the port could not be opened, failed or disappeared"},
    {TOutcomeKind::BadImage, 8, "bad image: --image cannot be read or sent"},
    {TOutcomeKind::NotConfirmed, 9,
     "sent, not confirmed: the image went out but the device gave no evidence that it was programmed"},
    {TOutcomeKind::Interrupted, 130, "interrupted (Ctrl-C, SIGTERM, SIGHUP); the link was closed"},
};

} // namespace

const std::vector<TExitCode>& ExitCodes()
{
    static const std::vector<TExitCode> Table = [] {
        std::vector<TExitCode> T{
            {UsageExitCode, "usage", "bad command line"},
            {NotEveryDeviceExitCode, "not-every-device",
             "several ports or --watch: not every device was updated or up to date (the summary says which; "
             "12 when a record could not be written; 130 when a signal cut a run short: with --watch the "
             "second Ctrl-C)"},
            {NoDeviceExitCode, "no-device",
             "no device found, or more than one: --port auto found none or several, --port all none, or with "
             "--device auto nothing answered on a named port (the ports probed are listed); nothing was sent "
             "but the probes' questions"},
            {RecordExitCode, "record-not-written",
             "the record could not be written (the device's outcome is in the message)"}};
        for (const TKindCode& K : KindCodes)
            T.push_back({K.Code, OutcomeName(K.Kind), K.Meaning});
        std::stable_sort(T.begin(), T.end(),
                         [](const TExitCode& A, const TExitCode& B) { return A.Code < B.Code; });
        return T;
    }();
    return Table;
}

int ExitCodeOf(TOutcomeKind Kind)
{
    for (const TKindCode& K : KindCodes)
        if (K.Kind == Kind)
            return K.Code;
    return 1;
}
