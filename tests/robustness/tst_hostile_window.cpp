// The viewer window started in a hostile working directory: a "dbLog.db" that is no usable log,
// a working directory that cannot be written, an export that cannot be written, and a settings
// file that cannot be used. Each case runs the real window offscreen in a child process
// (restricted where permission bits or a file-size limit must hold even for root) and checks
// that it runs to its end, tells the user, and overwrites nothing.

#include "RobustnessSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>

using namespace Robustness;

namespace {

const QString kChild = QStringLiteral(ROBUSTNESS_WINDOW_CHILD);
const QString kQueryFailed = QString::fromUtf8("查询失败：");
const QString kExportFailed = QString::fromUtf8("导出失败：");
constexpr int kLogged = 5;

QString exportPath(const QString &directory)
{
    return directory + QDir::separator() + kDay + QString::fromUtf8("系统日志.txt");
}

// A failure notice with the reason behind the prefix.
bool isNotice(const QString &text, const QString &prefix)
{
    return text.startsWith(prefix) && !text.mid(prefix.size()).trimmed().isEmpty();
}

QStringList with(QStringList list, const QString &name)
{
    list << name;
    list.sort();
    return list;
}

QStringList without(QStringList list, const QString &name)
{
    list.removeAll(name);
    return list;
}

} // namespace

class HostileWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hostileLogFile_data();
    void hostileLogFile();
    void readOnlyWorkingDirectory_data();
    void readOnlyWorkingDirectory();
    void exportFailure_data();
    void exportFailure();
    void settingsFile_data();
    void settingsFile();
};

void HostileWindow::hostileLogFile_data()
{
    addHostileLogFileRows();
}

void HostileWindow::hostileLogFile()
{
    QFETCH(QString, kind);
    Workspace ws;
    HostileLog hostile;
    ROBUSTNESS_SET_UP_HOSTILE_LOG(hostile, ws, kind);

    const ChildResult r =
        runChild(kChild,
                 hostile.options << QStringLiteral("open") << QStringLiteral("day") << kDay
                                 << QStringLiteral("query") << QStringLiteral("log")
                                 << QString::number(kLogged) << QStringLiteral("close"),
                 ws);
    ROBUSTNESS_SKIP_UNLESS_RESTRICTED(r);
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));
    QCOMPARE(r.value(QStringLiteral("opened")), QStringLiteral("1"));

    const QString view = r.value(QStringLiteral("view"));
    QCOMPARE(r.value(QStringLiteral("viewpx")), QStringLiteral("30"));
    QVERIFY2(r.lostReported() == 0, qPrintable(r.describe()));
    if (hostileKindBecomesLog(kind)) {
        QCOMPARE(view, QString::fromUtf8("没有找到相关记录"));
        QCOMPARE(recordCount(hostile.log), kLogged);
        QCOMPARE(entries(ws.path()), with(hostile.around, QStringLiteral("Tallyview.ini")));
        return;
    }
    // The user is told that the query failed, and why: not "no records".
    QVERIFY2(isNotice(view, kQueryFailed), qPrintable(view));

    // The file is exactly as it was, after the query, the records logged and the release; the
    // query by day has saved its settings beside it, and the records wait in the spill journal.
    QCOMPARE(fingerprint(hostile.log), hostile.before);
    QCOMPARE(entries(ws.path()),
             with(with(hostile.around, QStringLiteral("Tallyview.ini")), kSpillDir));
    QCOMPARE(spilledMessages(ws.filePath(kSpillDir)).size(), kLogged);
}

void HostileWindow::readOnlyWorkingDirectory_data()
{
    QTest::addColumn<QString>("logFile"); // "", or the permission of an existing log
    QTest::addColumn<bool>("listed");     // the day's records are listed, else the query fails

    QTest::newRow("no log file") << QString() << false;
    QTest::newRow("read-only log file") << QStringLiteral("0444") << true;
    QTest::newRow("writable log file") << QStringLiteral("0644") << true;
}

void HostileWindow::readOnlyWorkingDirectory()
{
    QFETCH(QString, logFile);
    QFETCH(bool, listed);
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    const QList<StoredRecord> records = recordsOfDay(3);
    if (!logFile.isEmpty())
        QVERIFY(writeLogFile(log, records));
    ROBUSTNESS_PREPARE_RESTRICTED(ws);
    if (!logFile.isEmpty())
        QCOMPARE(chmod(QFile::encodeName(log).constData(), logFile.toUInt(nullptr, 8)), 0);
    QCOMPARE(chmod(QFile::encodeName(ws.path()).constData(), 0555), 0);
    const QByteArray before = fingerprint(log);
    const QStringList around = entries(ws.path());

    const ChildResult r =
        runChild(kChild,
                 ws.restrictedOptions() << QStringLiteral("--expect-unwritable") << ws.path()
                                        << QStringLiteral("open") << QStringLiteral("day") << kDay
                                        << QStringLiteral("query") << QStringLiteral("log")
                                        << QString::number(kLogged) << QStringLiteral("close"),
                 ws);
    ROBUSTNESS_SKIP_UNLESS_RESTRICTED(r);
    // The window opens, and the process ends on its own (bounded by a hang guard) at exit.
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));
    QCOMPARE(r.value(QStringLiteral("opened")), QStringLiteral("1"));
    QCOMPARE(r.value(QStringLiteral("released")), QStringLiteral("1"));

    const QString view = r.value(QStringLiteral("view"));
    if (listed) {
        QString expected;
        for (const StoredRecord &record : records)
            expected += (expected.isEmpty() ? QString() : QStringLiteral("\n")) + record.datetime +
                        QStringLiteral(":\n") + record.message;
        QCOMPARE(view, expected);
    } else {
        QVERIFY2(isNotice(view, kQueryFailed), qPrintable(view));
    }
    // The records logged could not be stored and are reported lost on standard error.
    QVERIFY2(r.lostReported() == kLogged, qPrintable(r.describe()));
    QCOMPARE(fingerprint(log), before);
    QCOMPARE(entries(ws.path()), around);
}

void HostileWindow::exportFailure_data()
{
    QTest::addColumn<QString>("hazard");
    QTest::newRow("read-only directory") << QStringLiteral("read-only");
    QTest::newRow("missing directory") << QStringLiteral("missing");
    QTest::newRow("file system full") << QStringLiteral("full");
}

void HostileWindow::exportFailure()
{
    QFETCH(QString, hazard);
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    // Long records, so that the export is several times the file-size limit below.
    QVERIFY(writeLogFile(log, recordsOfDay(60, 200)));
    const QString exports = ws.filePath(QStringLiteral("exports"));
    QVERIFY(QDir().mkdir(exports));
    const QString target = exportPath(exports);

    // An earlier export of the same day that succeeded.
    const ChildResult first = runChild(kChild,
                                       {QStringLiteral("open"), QStringLiteral("day"), kDay,
                                        QStringLiteral("export"), exports, QStringLiteral("close")},
                                       ws);
    QVERIFY2(first.ranToEnd(), qPrintable(first.describe()));
    QCOMPARE(first.values(QStringLiteral("box")),
             QStringList{QString::fromUtf8("数据导出完成，路径如下：\n") + target});
    const QByteArray earlier = readFile(target);
    QVERIFY(earlier.size() > 8192);

    // The day has grown since, so that a new export, even a partial one, would differ.
    QList<StoredRecord> later;
    for (int i = 0; i < 10; ++i)
        later.append({kDay + QStringLiteral(" 20:00:%1").arg(i, 2, 10, QLatin1Char('0')), 0,
                      QStringLiteral("later record %1").arg(i)});
    QVERIFY(writeLogFile(log, later));

    QStringList arguments{QStringLiteral("open"), QStringLiteral("day"), kDay};
    QString gone;
    if (hazard == QLatin1String("read-only")) {
        ROBUSTNESS_PREPARE_RESTRICTED(ws);
        QCOMPARE(chmod(QFile::encodeName(exports).constData(), 0555), 0);
        arguments = ws.restrictedOptions() << QStringLiteral("--expect-unwritable") << exports
                                           << arguments << QStringLiteral("export") << exports;
    } else if (hazard == QLatin1String("missing")) {
        // The chosen directory disappears between the dialog and the writing.
        gone = ws.filePath(QStringLiteral("gone"));
        QVERIFY(QDir().mkdir(gone));
        arguments << QStringLiteral("export-vanish") << gone;
    } else {
        arguments << QStringLiteral("fsize") << QStringLiteral("4096") << QStringLiteral("export")
                  << exports;
    }
    arguments << QStringLiteral("close");
    const QStringList around = without(entries(ws.path()), QStringLiteral("gone"));
    const QStringList inExports = entries(exports);

    const ChildResult r = runChild(kChild, arguments, ws);
    ROBUSTNESS_SKIP_UNLESS_RESTRICTED(r);
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));

    // One directory dialog, then one message box "提示" that reports the failure and its reason;
    // no success message.
    QCOMPARE(r.values(QStringLiteral("dialog")),
             (QStringList{QStringLiteral("directory"), QStringLiteral("message")}));
    QCOMPARE(r.value(QStringLiteral("boxtitle")), QString::fromUtf8("提示"));
    const QString box = r.value(QStringLiteral("box"));
    QVERIFY2(isNotice(box, kExportFailed), qPrintable(box));
    // The reason must be the real one, not a placeholder for a missing error text.
    QVERIFY2(!box.contains(QLatin1String("Unknown error")), qPrintable(box));

    // The earlier export is intact, and nothing was left behind anywhere.
    QVERIFY2(readFile(target) == earlier, "the earlier export was changed");
    QCOMPARE(entries(exports), inExports);
    QCOMPARE(entries(ws.path()), around);
    if (!gone.isEmpty())
        QVERIFY2(!QFileInfo::exists(gone), "the vanished directory was made again");
}

void HostileWindow::settingsFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("index");

    // A readable index is restored, so the cases below show the hazard, not a file never read.
    QTest::newRow("readable, index 3") << QStringLiteral("index 3") << 3;
    QTest::newRow("directory") << QStringLiteral("directory") << 0;
    QTest::newRow("unreadable, index 3") << QStringLiteral("unreadable") << 0;
    QTest::newRow("random bytes") << QStringLiteral("random") << 0;
    QTest::newRow("not a number") << QStringLiteral("not a number") << 0;
    QTest::newRow("out of range") << QStringLiteral("out of range") << 0;
    QTest::newRow("negative") << QStringLiteral("negative") << 0;
}

void HostileWindow::settingsFile()
{
    QFETCH(QString, kind);
    QFETCH(int, index);
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString ini = ws.filePath(QStringLiteral("Tallyview.ini"));
    QStringList options;
    bool mustStay = false;
    if (kind == QLatin1String("index 3")) {
        QVERIFY(writeFile(ini, "[General]\ncomBoxIndex=3\n"));
    } else if (kind == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(ini));
        QVERIFY(writeFile(QDir(ini).filePath(QStringLiteral("keep.txt")), "kept\n"));
        mustStay = true;
    } else if (kind == QLatin1String("unreadable")) {
        QVERIFY(writeFile(ini, "[General]\ncomBoxIndex=3\n"));
        ROBUSTNESS_PREPARE_RESTRICTED(ws);
        QCOMPARE(chmod(QFile::encodeName(ini).constData(), 0), 0);
        options = ws.restrictedOptions() << QStringLiteral("--expect-unreadable") << ini;
        mustStay = true;
    } else if (kind == QLatin1String("random")) {
        QVERIFY(writeFile(ini, randomBytes(4096, 7)));
    } else if (kind == QLatin1String("not a number")) {
        QVERIFY(writeFile(ini, "[General]\ncomBoxIndex=three\n"));
    } else if (kind == QLatin1String("out of range")) {
        QVERIFY(writeFile(ini, "[General]\ncomBoxIndex=7\n"));
    } else {
        QVERIFY(writeFile(ini, "[General]\ncomBoxIndex=-1\n"));
    }
    const QByteArray before = fingerprint(ini);

    // The query by day saves the index, which meets the hazard a second time.
    const ChildResult r = runChild(kChild,
                                   options << QStringLiteral("open") << QStringLiteral("query")
                                           << QStringLiteral("close"),
                                   ws);
    ROBUSTNESS_SKIP_UNLESS_RESTRICTED(r);
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));
    QCOMPARE(r.value(QStringLiteral("combo")), QString::number(index));
    QCOMPARE(r.value(QStringLiteral("combo2")), QString::number(index));
    QVERIFY2(!r.value(QStringLiteral("view")).startsWith(kQueryFailed), qPrintable(r.describe()));
    if (mustStay)
        QCOMPARE(fingerprint(ini), before);
}

QTEST_GUILESS_MAIN(HostileWindow)
#include "tst_hostile_window.moc"
