#pragma once

#include "LogTypes.h"
#include "OutputHook.h"
#include "qzLogDB.h"
#include "qz_singleton_sys.h"

#include <QObject>
#include <QSqlError>
#include <QString>

namespace SystemLog {

// Front of the log service: the single owner of the writer thread. start() points outputHook
// at the writer; release() points it back at standard output, stores everything still queued
// and ends the writer.
class qzSysLog : public QObject, public qz_singleton_sys<qzSysLog>
{
    Q_OBJECT

public:
    ~qzSysLog() override;

    void start();

    // With lastId, also the highest id in the table as the list was read: the records of the
    // query stored later are those with higher ids.
    LogRowList queryDay(QString day, int type, QSqlError *error = nullptr,
                        qint64 *lastId = nullptr);
    LogRowList queryRange(QString startTime, QString endTime, int type, QSqlError *error = nullptr,
                          qint64 *lastId = nullptr);

    qzLogDB &writer() { return m_logDB; }

private:
    friend class qz_singleton_sys<qzSysLog>;
    qzSysLog();

    qzLogDB m_logDB;
};

// The front is created, and its size known, inside the library only: programs that link it
// call the library's instance() and release().
extern template class qz_singleton_sys<qzSysLog>;

} // namespace SystemLog
