#include "qzSysLog.h"

#include <functional>

namespace SystemLog {

template class qz_singleton_sys<qzSysLog>;

qzSysLog::qzSysLog() : QObject(nullptr), m_logDB(nullptr) {}

qzSysLog::~qzSysLog()
{
    // Back to standard output first: once this returns no call can still reach the writer,
    // and everything handed over so far is in its queue, which the writer stores before it ends.
    setOutputHook(writeStdout);
    m_logDB.stopProcess();
}

void qzSysLog::start()
{
    using namespace std::placeholders;
    OutputFunction toWriter = std::bind(&qzLogDB::outputLog, &m_logDB, _1, _2, _3);
    setOutputHook(toWriter);
    m_logDB.startProcess();
}

LogRowList qzSysLog::queryDay(QString day, int type, QSqlError *error, qint64 *lastId)
{
    return m_logDB.queryDay(day, type, error, lastId);
}

LogRowList qzSysLog::queryRange(QString startTime, QString endTime, int type, QSqlError *error,
                                qint64 *lastId)
{
    return m_logDB.queryRange(startTime, endTime, type, error, lastId);
}

} // namespace SystemLog
