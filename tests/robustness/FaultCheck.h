#pragma once

// The campaign's check of what a schedule left (see FaultCampaign.h): internal to the campaign.

#include "FaultCampaign.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

namespace Robustness::Campaign {

extern const QString kLog;   // "dbLog.db"
extern const QString kSpill; // the spill journal's directory beside it

// What became of one service: its run, what it said, what it logged and counted lost.
struct Ran
{
    int run = 0;
    bool faulted = false;
    ChildResult result;
    bool killed = false;
    long long logged = 0;
    long long lost = 0;    // counted by the service
    long long durable = 0; // the first records it reported stored (before a power cut, say)
    QMap<QString, long long> lostByReason;
};

// The numbered records found in the logs: per run, per number, how often.
using Found = QMap<int, QMap<long long, int>>;

// Whether the file holds the log's table; a file that a service created and could not set up
// (a failing disk) holds none. *why says why the file cannot be read.
bool hasLogTable(const QString &path, QString *why);
// The records of a log in the order of their ids.
QList<StoredRecord> readRecords(const QString &path, QString *why);

// Adds up the service's "SystemLog: N log records lost: why" lines (the why without its details)
// and, after a kill, what it had counted until then.
void countLost(Ran *ran);

// The numbered records of the logs. With `out`, records that are not whole, foreign rows and
// logs that cannot be read are failures, and records stored after a newer one of their run are
// counted.
Found storedRecords(const QStringList &logs, Outcome *out);
// Each record of the run stored once or counted lost; only a kill loses records nobody counted,
// and only the newest; a tear only those `atRisk`. Adds the run to the tally.
void checkRun(const Ran &ran, const QMap<long long, int> &seqs, const QSet<long long> &atRisk,
              Outcome *out);
// Nothing waits in a side file or spill segment, no journal is left, and a file set aside is
// there only after a tear.
void checkLeftovers(const QString &dir, Outcome *out);
// SQLite's quick check of the log: "ok" when sound.
QString quickCheck(const QString &log);

} // namespace Robustness::Campaign
