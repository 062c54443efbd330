// The service front and the output hook: standard output before start and after release, the
// store in between, the singleton's life, the meta-objects and the queries through the front.

#include "TestSupport.h"
#include "qzSysLog.h"

#include <QDate>
#include <QMetaMethod>
#include <QtTest>

#include <memory>
#include <thread>

using SystemLog::LogRowList;
using SystemLog::outputHook;
using SystemLog::qz_singleton_sys;
using SystemLog::qzSysLog;
using namespace TestSupport;

namespace {

void hook(int type, const QByteArray &bytes)
{
    outputHook(type, bytes.constData(), bytes.size());
}

} // namespace

class LogServiceTest : public ScratchTest
{
    Q_OBJECT

private Q_SLOTS:
    void hookWritesStdoutUnlessRunning_data();
    void hookWritesStdoutUnlessRunning();
    void hookStoresExactText_data();
    void hookStoresExactText();
    void eachCycleStoresItsRecords();

    void instanceIsStable();
    void releaseWithoutInstanceDoesNothing();
    void metaCastFindsEachPart();
    void metaObjects();

    void queriesPassThrough_data();
    void queriesPassThrough();
    void queryErrorsReachTheCaller();
    void unusableFileSurvivesTheService();

private:
    QString capturePath() const { return m_dir->filePath(QStringLiteral("stdout.bin")); }
};

void LogServiceTest::hookWritesStdoutUnlessRunning_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("len");

    QTest::newRow("three bytes, type 2") << 2 << QByteArray("abc") << 3;
    QTest::newRow("length zero") << 1 << QByteArray() << 0;
    QTest::newRow("length zero on a non-empty buffer") << 1 << QByteArray("xyz") << 0;
    QTest::newRow("prefix of a longer buffer") << 0 << QByteArray("abcdef") << 3;
    QTest::newRow("embedded NUL") << 3 << QByteArray("a\0b\0", 4) << 4;
    QTest::newRow("invalid UTF-8 bytes pass unchanged") << 4 << QByteArray("\xff\xfe\xc3") << 3;
    QTest::newRow("trailing line feed") << 2 << QByteArray("line\n") << 5;
    QTest::newRow("type outside the categories") << -1 << QByteArray("any type") << 8;
}

void LogServiceTest::hookWritesStdoutUnlessRunning()
{
    QFETCH(int, type);
    QFETCH(QByteArray, buffer);
    QFETCH(int, len);
    const QByteArray expected = buffer.left(len);
    // When the whole buffer is used, the byte after it is unreadable.
    const GuardedBytes guarded(buffer);
    QVERIFY(guarded.isValid());

    QByteArray beforeInstance;
    {
        StdoutCapture capture(capturePath());
        QVERIFY(capture.isActive());
        outputHook(type, guarded.data(), len);
        beforeInstance = capture.finish();
    }
    QCOMPARE(beforeInstance, expected);

    qzSysLog *front = qzSysLog::instance();
    QByteArray beforeStart;
    {
        StdoutCapture capture(capturePath());
        outputHook(type, guarded.data(), len);
        beforeStart = capture.finish();
    }
    QCOMPARE(beforeStart, expected);

    front->start();
    QByteArray whileRunning;
    {
        StdoutCapture capture(capturePath());
        outputHook(type, guarded.data(), len);
        whileRunning = capture.finish();
    }
    QCOMPARE(whileRunning, QByteArray());

    qzSysLog::release();
    QByteArray afterRelease;
    {
        StdoutCapture capture(capturePath());
        outputHook(type, guarded.data(), len);
        afterRelease = capture.finish();
    }
    QCOMPARE(afterRelease, expected);

    // Only the call made while running became a record.
    const QVector<AuxDb::Row> rows = AuxDb().allRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].type, type);
    QCOMPARE(rows[0].message, QString::fromUtf8(expected.constData(), expected.size()));
}

void LogServiceTest::hookStoresExactText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    for (const auto &row : hostileMessages())
        QTest::newRow(row.first) << row.second;
}

void LogServiceTest::hookStoresExactText()
{
    QFETCH(QByteArray, bytes);
    const QByteArray expected = QString::fromUtf8(bytes.constData(), bytes.size()).toUtf8();
    const GuardedBytes guarded(bytes);
    QVERIFY(guarded.isValid());

    qzSysLog::instance()->start();
    QByteArray written;
    {
        StdoutCapture capture(capturePath());
        outputHook(3, guarded.data(), guarded.size());
        hook(3, "marker");
        written = capture.finish();
    }
    qzSysLog::release();
    QCOMPARE(written, QByteArray());

    AuxDb aux;
    const QVector<AuxDb::Row> rows = aux.allRows();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0].type, 3);
    // Byte for byte: QString::fromUtf8(bytes).toUtf8().
    QCOMPARE(aux.messageBytes().value(0), expected);
    QCOMPARE(rows[1].message, QStringLiteral("marker"));
}

void LogServiceTest::eachCycleStoresItsRecords()
{
    for (int cycle = 0; cycle < 3; ++cycle) {
        qzSysLog::instance()->start();
        hook(1, QByteArray("cycle ") + QByteArray::number(cycle) + " a");
        hook(1, QByteArray("cycle ") + QByteArray::number(cycle) + " b");
        qzSysLog::release();
    }
    QStringList messages;
    for (const AuxDb::Row &row : AuxDb().allRows())
        messages << row.message;
    QCOMPARE(messages, (QStringList{"cycle 0 a", "cycle 0 b", "cycle 1 a", "cycle 1 b", "cycle 2 a",
                                    "cycle 2 b"}));
}

void LogServiceTest::instanceIsStable()
{
    qzSysLog *first = qzSysLog::instance();
    QVERIFY(first);
    QVERIFY(QFileInfo::exists(kDbFile));
    for (int i = 0; i < 10; ++i)
        QCOMPARE(qzSysLog::instance(), first);
    QCOMPARE(qz_singleton_sys<qzSysLog>::instance(), first);

    qzSysLog *seenElsewhere = nullptr;
    std::thread other([&] { seenElsewhere = qzSysLog::instance(); });
    other.join();
    QCOMPARE(seenElsewhere, first);

    first->start();
    QCOMPARE(qzSysLog::instance(), first);
    hook(0, "one front");
    qzSysLog::release();
    QCOMPARE(AuxDb().rowCount(), 1);

    // After a release the next use builds a working front again.
    qzSysLog *second = qzSysLog::instance();
    QVERIFY(second);
    QCOMPARE(qzSysLog::instance(), second);
    QCOMPARE(messagesOf(second->queryRange(kEarliest, kLatest, 0)), QStringList{"one front"});
}

void LogServiceTest::releaseWithoutInstanceDoesNothing()
{
    qzSysLog::release();
    qzSysLog::release();
    QVERIFY(!QFileInfo::exists(kDbFile));

    QByteArray written;
    {
        StdoutCapture capture(capturePath());
        hook(2, "still standard output");
        written = capture.finish();
    }
    QCOMPARE(written, QByteArray("still standard output"));

    qzSysLog::instance()->start();
    hook(2, "stored");
    qzSysLog::release();
    qzSysLog::release();
    QCOMPARE(AuxDb().rowCount(), 1);
}

void LogServiceTest::metaCastFindsEachPart()
{
    qzSysLog *front = qzSysLog::instance();
    QCOMPARE(front->qt_metacast("SystemLog::qzSysLog"), static_cast<void *>(front));
    QCOMPARE(front->qt_metacast("qz_singleton_sys<qzSysLog>"),
             static_cast<void *>(static_cast<qz_singleton_sys<qzSysLog> *>(front)));
    QVERIFY(static_cast<void *>(static_cast<qz_singleton_sys<qzSysLog> *>(front)) !=
            static_cast<void *>(front));
    QCOMPARE(front->qt_metacast("QObject"), static_cast<void *>(static_cast<QObject *>(front)));
    QVERIFY(!front->qt_metacast(nullptr));
    QVERIFY(!front->qt_metacast("SystemLog::qzLogDB"));
    QVERIFY(!front->qt_metacast("qzSysLog"));

    QCOMPARE(qobject_cast<qzSysLog *>(static_cast<QObject *>(front)), front);
    QCOMPARE(front->writer().qt_metacast("SystemLog::qzLogDB"),
             static_cast<void *>(&front->writer()));
}

void LogServiceTest::metaObjects()
{
    const QMetaObject &meta = qzSysLog::staticMetaObject;
    QCOMPARE(meta.className(), "SystemLog::qzSysLog");
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    QCOMPARE(meta.methodCount(), meta.methodOffset());
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());
    QCOMPARE(meta.constructorCount(), 0);

    qzSysLog *front = qzSysLog::instance();
    QCOMPARE(front->metaObject(), &meta);
    QVERIFY(!front->parent());

    const QMetaObject *writerMeta = front->writer().metaObject();
    QCOMPARE(writerMeta->className(), "SystemLog::qzLogDB");
    QCOMPARE(writerMeta->methodCount() - writerMeta->methodOffset(), 1);
    QCOMPARE(writerMeta->method(writerMeta->methodOffset()).methodSignature(),
             QByteArray("stopProcess()"));
    QVERIFY(!front->writer().parent());
    QVERIFY(!front->writer().isRunning());
}

void LogServiceTest::queriesPassThrough_data()
{
    QTest::addColumn<bool>("started");
    QTest::newRow("created only") << false;
    QTest::newRow("running") << true;
}

void LogServiceTest::queriesPassThrough()
{
    QFETCH(bool, started);

    qzSysLog *front = qzSysLog::instance();
    {
        AuxDb aux;
        QVERIFY(aux.insertStamped(QStringLiteral("2024-03-10 00:00:00"), 2, QStringLiteral("a")));
        QVERIFY(aux.insertStamped(QStringLiteral("2024-03-10 23:59:59"), 2, QStringLiteral("b")));
        QVERIFY(aux.insertStamped(QStringLiteral("2024-03-11 00:00:00"), 2, QStringLiteral("c")));
        QVERIFY(aux.insertStamped(QStringLiteral("2024-03-10 10:00:00"), 3, QStringLiteral("d")));
    }
    if (started)
        front->start();

    QSqlError err;
    QCOMPARE(messagesOf(front->queryDay(QStringLiteral("2024-03-10"), 2, &err)),
             (QStringList{"a", "b"}));
    QVERIFY(!err.isValid());
    QCOMPARE(messagesOf(front->queryRange(QStringLiteral("2024-03-10 23:59:59"),
                                          QStringLiteral("2024-03-11 00:00:00"), 2, &err)),
             (QStringList{"b", "c"}));
    QVERIFY(!err.isValid());
    QVERIFY(front
                ->queryRange(QStringLiteral("2024-03-11 00:00:00"),
                             QStringLiteral("2024-03-10 00:00:00"), 2, &err)
                .isEmpty());
    QVERIFY(!err.isValid());
    QCOMPARE(messagesOf(front->queryDay(QStringLiteral("2024-03-10"), 3)), QStringList{"d"});
    // Texts are passed on untouched: a padded day is a different text and matches nothing.
    QVERIFY(front->queryDay(QStringLiteral(" 2024-03-10"), 2, &err).isEmpty());
    QVERIFY(!err.isValid());
    QCOMPARE(front->queryDay(QStringLiteral("2024-03-10"), 2),
             front->writer().queryDay(QStringLiteral("2024-03-10"), 2));
}

void LogServiceTest::queryErrorsReachTheCaller()
{
    qzSysLog *front = qzSysLog::instance();
    front->start();
    hook(1, "one");
    // Stored first: a writer with records to store sets the table up again, as a new start would.
    QTRY_COMPARE_WITH_TIMEOUT(AuxDb().rowCount(), 1, TestFiles::kHangGuardMs);
    {
        AuxDb aux;
        QVERIFY(aux.exec(QStringLiteral("DROP TABLE SystemInfo")));
    }
    QSqlError err;
    QVERIFY(front->queryDay(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")), 1, &err)
                .isEmpty());
    QVERIFY(err.isValid());
    QVERIFY(!err.text().trimmed().isEmpty());
    QSqlError rangeErr;
    QVERIFY(front->queryRange(kEarliest, kLatest, 1, &rangeErr).isEmpty());
    QVERIFY(rangeErr.isValid());
}

void LogServiceTest::unusableFileSurvivesTheService()
{
    QByteArray content(3000, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 131 + 7) % 256);
    QVERIFY(writeFile(kDbFile, content));

    qzSysLog *front = qzSysLog::instance();
    front->start();
    hook(3, "cannot be stored");
    QSqlError err;
    QVERIFY(front->queryRange(kEarliest, kLatest, 3, &err).isEmpty());
    QVERIFY(err.isValid());
    QVERIFY(!err.text().trimmed().isEmpty());
    qzSysLog::release();

    QCOMPARE(readFile(kDbFile), content);
}

QTEST_GUILESS_MAIN(LogServiceTest)
#include "tst_logservice.moc"
