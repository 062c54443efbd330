// bench_faults: the fault campaign (tests/robustness/FaultCampaign.h) seed after seed.
//
//   bench_faults [--minutes N] [--seed S] [--count N] [--list] [--keep DIR] [--power-cut]
//
// Runs the schedules of seeds S, S+1, ... until N minutes have passed (or N schedules have run),
// says how each went, prints every failing schedule with what failed, and ends with a table:
// schedules, kills, locks, records logged, stored, lost by reason, doubled. A failing seed reruns
// the same schedule with --seed S --count 1. With --list, prints the schedules of the seeds
// (--count of them) without running them. With --keep, the directory of a failing schedule (and
// the logs it moved away) is copied to DIR/seed-<seed>. With --power-cut, the schedules are those
// of power cuts (powerCutScheduleOf): the power goes at an operation of the seed's choice.

#include "FaultCampaign.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

using namespace Robustness::Campaign;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The log service's fault campaign, at length."));
    parser.addHelpOption();
    const QCommandLineOption minutes(QStringLiteral("minutes"),
                                     QStringLiteral("Run for this long (default 1)."),
                                     QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("The first seed."),
                                  QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("Stop after this many schedules."),
                                   QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption list(QStringLiteral("list"),
                                  QStringLiteral("Print the schedules, do not run them."));
    const QCommandLineOption keep(QStringLiteral("keep"),
                                  QStringLiteral("Copy what failing schedules leave below DIR."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption powerCut(QStringLiteral("power-cut"),
                                      QStringLiteral("Run the schedules of power cuts."));
    parser.addOptions({minutes, seed, count, list, keep, powerCut});
    parser.process(app);
    const auto scheduleFor = parser.isSet(powerCut) ? powerCutScheduleOf : scheduleOf;
    if (parser.isSet(list)) {
        const quint32 first = parser.value(seed).toUInt();
        for (quint32 s = first; s < first + quint32(qMax(parser.value(count).toInt(), 1)); ++s)
            std::printf("%s\n", qUtf8Printable(scheduleFor(s).text()));
        return 0;
    }

    const qint64 forMs = qint64(parser.value(minutes).toDouble() * 60000);
    const int most = parser.value(count).toInt();
    QElapsedTimer clock;
    clock.start();
    Tally total;
    for (quint32 s = parser.value(seed).toUInt(); clock.elapsed() < forMs || most > 0; ++s) {
        QElapsedTimer one;
        one.start();
        const Schedule schedule = scheduleFor(s);
        const Outcome outcome =
            run(schedule, QStringLiteral(ROBUSTNESS_SERVICE_CHILD), parser.value(keep));
        total.add(outcome.tally);
        std::printf("seed %u: %s in %.1f s, %lld records\n", s,
                    outcome.failures.isEmpty() ? "held" : "FAILED", one.elapsed() / 1000.0,
                    outcome.tally.logged);
        if (!outcome.failures.isEmpty())
            std::printf("%s\n%s\n", qUtf8Printable(schedule.text()),
                        qUtf8Printable(outcome.failures.join(QLatin1Char('\n'))));
        std::fflush(stdout);
        if (most > 0 && total.schedules >= most)
            break;
    }
    std::printf("\nbench_faults: %.1f minutes, seeds from %s\n%s\n", clock.elapsed() / 60000.0,
                qUtf8Printable(parser.value(seed)), qUtf8Printable(total.table()));
    return total.failed == 0 ? 0 : 1;
}
