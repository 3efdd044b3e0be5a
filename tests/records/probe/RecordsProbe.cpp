// records-probe DEST [--spool PATH] [--runs N] [--station TEXT] [--fsize BYTES] [--drain MS]
// One process writing N runs (a start and an end each) through the record
// writer, as a command line does; the tests run several at once on one store.
// Exit code: 0 all stored, 12 a record failed, 2 the destination was refused.
#include "app/records/RecordWriter.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

int main(int argc, char** argv)
{
    QCoreApplication App(argc, argv);
    if (argc < 2) {
        std::fprintf(
            stderr, "usage: records-probe DEST [--spool PATH] [--runs N] [--station TEXT] [--fsize BYTES]\n");
        return 64;
    }
    TRecordOptions O;
    O.BackoffFirstMs = 100;
    O.BackoffMaxMs = 400;
    O.ConnectTimeoutMs = 2000;
    O.QueryTimeoutMs = 3000;
    int Runs = 1, DrainMs = 20000;
    std::string Station = "probe";
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string Name = argv[i], Value = argv[i + 1];
        if (Name == "--spool") {
            O.SpoolPath = Value;
        } else if (Name == "--runs") {
            Runs = std::atoi(Value.c_str());
        } else if (Name == "--station") {
            Station = Value;
        } else if (Name == "--drain") {
            DrainMs = std::atoi(Value.c_str());
        } else if (Name == "--fsize") {
            // A disk that is full for this process: writes beyond the limit
            // fail with EFBIG instead of killing it.
            std::signal(SIGXFSZ, SIG_IGN);
            const rlim_t Limit = std::strtoull(Value.c_str(), nullptr, 10);
            const rlimit L{Limit, Limit};
            setrlimit(RLIMIT_FSIZE, &L);
        }
    }
    const TDestinationParse P = ParseRecordDestination(argv[1]);
    if (!P.Ok()) {
        std::fprintf(stderr, "%s\n", P.Error.c_str());
        return 2;
    }
    TRecordWriter W;
    int Failed = 0;
    QObject::connect(&W, &TRecordWriter::RecordFailed,
                     [&](const std::string&, bool, const std::string& Message) {
                         ++Failed;
                         std::fprintf(stderr, "record failed: %s\n", Message.c_str());
                     });
    W.Start(P.Destination, O, [&](const TStartCheck& C) {
        if (C.Result == TStartResult::Refused) {
            std::fprintf(stderr, "refused: %s\n", C.Message.c_str());
            App.exit(2);
            return;
        }
        for (int i = 0; i < Runs; ++i) {
            TRunStart S;
            S.RunId = NewRunId();
            S.Station = Station;
            S.Device = "veltrac";
            S.StartedAt = QDateTime::currentDateTimeUtc();
            W.Begin(S);
            const QJsonObject J{{"event", "result"},
                                {"run_id", QString::fromStdString(S.RunId)},
                                {"result", "updated"},
                                {"exit_code", 0},
                                {"station", QString::fromStdString(Station)},
                                {"started_at", S.StartedAt.toString(Qt::ISODateWithMs)},
                                {"ended_at", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                                {"device_id", QString::fromStdString(Station + "-" + std::to_string(i))}};
            W.End(QJsonDocument(J).toJson(QJsonDocument::Compact).toStdString());
        }
        W.Drain(DrainMs, [&](int Waiting) {
            std::fprintf(stderr, "waiting %d\n", Waiting);
            App.exit(Failed ? 12 : 0);
        });
    });
    return App.exec();
}
