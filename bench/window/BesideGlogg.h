#pragma once

#include <QList>
#include <QPair>
#include <QString>

// The window's process of the comparison: lists category 1 of the day at once, then again, and
// says what it measured of itself on standard output.
int runListingChild(const QString &day);

// The listings of these days (day, records) in the window beside glogg, each program in a
// process of its own; `self` is this benchmark's program, `logDir` holds the log. Runs while the
// caller's log service serves that log (the text for glogg is its export).
void benchBesideGlogg(const QString &self, const QString &logDir,
                      const QList<QPair<QString, int>> &days);

// Stores one record of `mib` MiB in category 1 at that stamp in "dbLog.db" of the working
// directory.
bool addHugeRecord(const QString &stamp, int mib);
