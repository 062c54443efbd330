#include "WindowNotices.h"

#include "store/QDBSqlite.h"

#include <QMessageBox>
#include <QSqlError>

namespace WindowNotices {

void show(QWidget *parent, const QString &text)
{
    QMessageBox::information(parent, QString::fromUtf8("提示"), text, QMessageBox::Ok,
                             QMessageBox::NoButton);
}

QString failureText(const char *head, const QSqlError &error)
{
    QString text = QString::fromUtf8(head);
    if (SystemLog::QDBSqlite::isBusy(error))
        text += QString::fromUtf8("日志文件正被其他程序占用，请稍后重试") + QLatin1Char('\n');
    return text + error.text();
}

} // namespace WindowNotices
