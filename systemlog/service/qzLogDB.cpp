#include "qzLogDB.h"

#include "service/QueryFront.h"
#include "service/RecordQueue.h"
#include "service/StopRequest.h"
#include "service/WaitingRecords.h"
#include "service/WriterLoop.h"
#include "service/WriterReports.h"

#include <cstdio>

namespace SystemLog {

class qzLogDB::Private
{
public:
    WriterReports reports;
    RecordQueue queue;
    StopRequest stop;
    WaitingRecords waiting{queue, reports};
    // Made last: it opens the log and may say so through the reports.
    QueryFront front{reports};
    bool started = false;
    int sleepMs = 10;
    qint64 memoryLimit = kDefaultMemoryLimit;
    qint64 spillLimit = kDefaultSpillLimit;
    int spillKeepFreePercent = kDefaultSpillKeepFreePercent;
};

qzLogDB::qzLogDB(QObject *parent) : QThread(parent), d(std::make_unique<Private>()) {}

qzLogDB::~qzLogDB()
{
    stopProcess();
    wait();
    d->front.close();
    const std::size_t left = d->queue.size();
    if (left > 0) {
        // A writer that ran stores everything handed over up to its stop, or puts it in the spill
        // journal: what is left here came later, or was never going to be stored.
        d->reports.addLost(static_cast<long long>(left));
        std::fprintf(stderr, "SystemLog: %zu log records lost: %s\n", left,
                     d->started ? "handed over after the log writer had stopped"
                                : "the log writer was never started");
    }
}

void qzLogDB::outputLog(int type, const char *msg, int len)
{
    d->queue.push(type, msg, len);
}

void qzLogDB::startProcess()
{
    d->stop.clear();
    d->started = true;
    start(QThread::InheritPriority);
}

void qzLogDB::stopProcess()
{
    d->stop.request();
}

int qzLogDB::queuedCount()
{
    return d->queue.unfinished();
}

long long qzLogDB::lostCount() const
{
    return d->reports.lost();
}

void qzLogDB::setMemoryLimit(qint64 bytes)
{
    d->memoryLimit = bytes;
}

void qzLogDB::setSpillLimit(qint64 bytes, int keepFreePercent)
{
    d->spillLimit = bytes;
    d->spillKeepFreePercent = keepFreePercent;
}

void qzLogDB::run()
{
    runWriterLoop({d->stop, d->queue, d->waiting, d->reports, d->memoryLimit, d->sleepMs,
                   d->spillLimit, d->spillKeepFreePercent});
    d->reports.reportLoss();
}

void qzLogDB::setQueryBusyTimeout(int ms)
{
    d->front.setBusyTimeout(ms);
}

bool qzLogDB::isBuildingIndex() const
{
    return d->front.isBuildingIndex();
}

LogRowList qzLogDB::queryDay(QString day, int type, QSqlError *error, qint64 *lastId)
{
    return queryRange(dayStart(day), dayEnd(day), type, error, lastId);
}

LogRowList qzLogDB::queryRange(QString startTime, QString endTime, int type, QSqlError *error,
                               qint64 *lastId)
{
    return d->front.queryRange(startTime, endTime, type, error, lastId);
}

} // namespace SystemLog
