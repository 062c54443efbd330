#pragma once

#include <QString>

class QSqlError;
class QWidget;

// The window's words for an outcome: the modal notice titled "提示" with the one button Ok, and
// the text of a failed read of the log.
namespace WindowNotices {

void show(QWidget *parent, const QString &text);
// "<head><reason>". Another program holding the file is said in words before the database's own.
QString failureText(const char *head, const QSqlError &error);

} // namespace WindowNotices
