// The campaign's check of what a schedule left: the numbered records in the logs against what
// each service logged and counted lost, and the files left in the directory.

#include "FaultCheck.h"

#include "TestLogFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace Robustness::Campaign {

const QString kLog = QStringLiteral("dbLog.db");
const QString kSpill = QStringLiteral("dbLog.spill");

bool hasLogTable(const QString &path, QString *why)
{
    bool has = false;
    TestLogFile::withConnection(path, [&](QSqlDatabase &db) {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SELECT 1 FROM sqlite_master WHERE name = 'SystemInfo'")))
            *why = query.lastError().text();
        has = query.next();
        return true;
    });
    return has;
}

QList<StoredRecord> readRecords(const QString &path, QString *why)
{
    QList<StoredRecord> records;
    if (!QFileInfo::exists(path) || !hasLogTable(path, why))
        return records;
    TestLogFile::withConnection(path, [&](QSqlDatabase &db) {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SELECT datetime, type, message FROM SystemInfo ORDER BY "
                                       "id")))
            *why = query.lastError().text();
        while (query.next())
            records.append(
                {query.value(0).toString(), query.value(1).toInt(), query.value(2).toString()});
        return true;
    });
    return records;
}

void countLost(Ran *ran)
{
    static const QRegularExpression line(
        QStringLiteral("^SystemLog: (\\d+) log records lost: (.*)$"),
        QRegularExpression::MultilineOption);
    static const QRegularExpression details(QStringLiteral("\\([^()]*\\)|\\d+"));
    auto it = line.globalMatch(QString::fromUtf8(ran->result.err));
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        ran->lost += m.captured(1).toLongLong();
        ran->lostByReason[m.captured(2).replace(details, QStringLiteral("…"))] +=
            m.captured(1).toLongLong();
    }
    // A kill says what was counted until then, said or not.
    const long long beforeKill = ran->result.value(QStringLiteral("lost")).toLongLong();
    if (ran->killed && beforeKill > ran->lost) {
        ran->lostByReason[QStringLiteral("counted, not yet said at the kill")] +=
            beforeKill - ran->lost;
        ran->lost = beforeKill;
    }
}

Found storedRecords(const QStringList &logs, Outcome *out)
{
    QStringList *failures = out ? &out->failures : nullptr;
    Found found;
    for (const QString &log : logs) {
        QString why;
        const QList<StoredRecord> records = readRecords(log, &why);
        if (!why.isEmpty() && failures)
            *failures << QStringLiteral("cannot read %1: %2").arg(log, why);
        QMap<int, long long> newest;
        for (const StoredRecord &r : records) {
            const QStringList words = r.message.split(QLatin1Char(' '));
            const int run = words.value(1).toInt();
            const long long seq = words.value(2).toLongLong();
            if (words.value(0) != QLatin1String("campaign") ||
                r.message != QString::fromUtf8(numberedMessage(run, seq)) ||
                r.type != numberedType(seq)) {
                if (failures)
                    *failures << QStringLiteral("not a whole record: %1").arg(r.message.left(60));
                continue;
            }
            found[run][seq] += 1;
            if (out && seq < newest.value(run, -1))
                out->tally.outOfOrder += 1;
            newest[run] = qMax(newest.value(run, -1), seq);
        }
    }
    return found;
}

void checkRun(const Ran &ran, const QMap<long long, int> &seqs, const QSet<long long> &atRisk,
              Outcome *out)
{
    const auto fail = [out](const QString &why) { out->failures << why; };
    Tally &t = out->tally;
    t.logged += ran.logged;
    long long newest = -1;
    for (auto it = seqs.cbegin(); it != seqs.cend(); ++it) {
        if (it.key() >= ran.logged)
            fail(QStringLiteral("run %1: record %2 stored, only %3 logged")
                     .arg(ran.run)
                     .arg(it.key())
                     .arg(ran.logged));
        if (it.value() > 1)
            fail(QStringLiteral("run %1: record %2 stored %3 times")
                     .arg(ran.run)
                     .arg(it.key())
                     .arg(it.value()));
        t.doubled += it.value() - 1;
        t.stored += 1;
        newest = qMax(newest, it.key());
    }
    long long missing = 0, gapsNotTorn = 0, missingNotTorn = 0, durableMissing = 0;
    for (long long seq = 0; seq < ran.logged; ++seq) {
        if (seqs.contains(seq))
            continue;
        ++missing;
        durableMissing += seq < ran.durable ? 1 : 0;
        if (!atRisk.contains(seq)) {
            ++missingNotTorn;
            gapsNotTorn += seq < newest ? 1 : 0;
        }
    }
    // Counted lost but stored, or missing without a word.
    const long long mustBeCounted = ran.killed ? gapsNotTorn : missingNotTorn;
    if (ran.lost > missing || ran.lost < mustBeCounted)
        fail(QStringLiteral("run %1: %2 logged, %3 stored, %4 counted lost, %5 missing that "
                            "only a count can explain%6\n%7")
                 .arg(ran.run)
                 .arg(ran.logged)
                 .arg(seqs.size())
                 .arg(ran.lost)
                 .arg(mustBeCounted)
                 .arg(ran.killed ? " (killed)" : "")
                 .arg(QString::fromUtf8(ran.result.err).right(1500)));
    // What the service knew stored (committed, or synced into the journal) survives anything.
    if (durableMissing > 0)
        fail(QStringLiteral("run %1: %2 of the first %3 records, reported stored, are missing\n%4")
                 .arg(ran.run)
                 .arg(durableMissing)
                 .arg(ran.durable)
                 .arg(QString::fromUtf8(ran.result.err).right(1500)));
    t.durableMissing += durableMissing;
    for (auto it = ran.lostByReason.cbegin(); it != ran.lostByReason.cend(); ++it)
        t.lostByReason[it.key()] += it.value();
    const long long unexplained = qMax(0LL, missing - ran.lost);
    const long long atKill = ran.killed ? qMax(0LL, missingNotTorn - ran.lost) : 0;
    t.lostAtKill += atKill;
    t.lostTorn += qMax(0LL, unexplained - atKill);
}

void checkLeftovers(const QString &dir, Outcome *out)
{
    QStringList names = entries(dir);
    for (const QString &name : entries(QDir(dir).filePath(kSpill)))
        names << kSpill + QLatin1Char('/') + name;
    for (const QString &name : names) {
        const bool setAside =
            name.contains(QLatin1String(".bad-")) || name.contains(QLatin1String(".corrupt-"));
        if ((setAside && out->tally.tears == 0) ||
            (!setAside && (name.startsWith(kSpill + QLatin1Char('/')) ||
                           name.startsWith(QLatin1String("dbLog.pending.db")) ||
                           name.startsWith(QLatin1String("dbLog.db-mj")) ||
                           name == QLatin1String("dbLog.db-journal"))))
            out->failures << QStringLiteral("left in the directory: %1").arg(name);
    }
}

QString quickCheck(const QString &log)
{
    QString quick;
    TestLogFile::withConnection(log, [&quick](QSqlDatabase &db) {
        QSqlQuery query(db);
        if (query.exec(QStringLiteral("PRAGMA quick_check")) && query.next())
            quick = query.value(0).toString();
        return true;
    });
    return quick;
}

} // namespace Robustness::Campaign
