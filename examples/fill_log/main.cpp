// fill_log: logs sample records through the output hook into "dbLog.db" in the working directory,
// so that the viewer has something to show.
//
//   fill_log [--count N] [--types 0,1,3] [--seed S]

#include "OutputHook.h"
#include "qzSysLog.h"

#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>

namespace {

constexpr int kTypeCount = 5;

const char *const kTypeNames[kTypeCount] = {"参数修改记录", "用户使用记录", "系统状态记录",
                                            "报警记录", "其他信息"};

QString pick(QRandomGenerator &rng, const QStringList &items)
{
    return items.at(rng.bounded(items.size()));
}

// One realistic message of the given category, in Chinese or English.
QString makeMessage(int type, QRandomGenerator &rng)
{
    static const QStringList parametersZh = {QStringLiteral("主轴转速"), QStringLiteral("进给速度"),
                                             QStringLiteral("加热温度"), QStringLiteral("压力上限"),
                                             QStringLiteral("报警延时")};
    static const QStringList parametersEn = {
        QStringLiteral("spindle_speed"), QStringLiteral("feed_rate"),
        QStringLiteral("heater_setpoint"), QStringLiteral("pressure_limit")};
    static const QStringList users = {QStringLiteral("admin"), QStringLiteral("operator"),
                                      QStringLiteral("张工"), QStringLiteral("李娜"),
                                      QStringLiteral("service")};
    static const QStringList stations = {QStringLiteral("A1"), QStringLiteral("A2"),
                                         QStringLiteral("B1"), QStringLiteral("C3")};

    const int variant = static_cast<int>(rng.bounded(4));
    switch (type) {
    case SystemLog::ParameterChange: {
        const int from = static_cast<int>(rng.bounded(10, 500));
        const int to = from + static_cast<int>(rng.bounded(1, 100)) - 50;
        if (variant == 0 || variant == 1)
            return QStringLiteral("参数 %1 从 %2 改为 %3")
                .arg(pick(rng, parametersZh))
                .arg(from)
                .arg(to);
        if (variant == 2)
            return QStringLiteral("Parameter %1 changed from %2 to %3 by %4")
                .arg(pick(rng, parametersEn))
                .arg(from)
                .arg(to)
                .arg(pick(rng, users));
        return QStringLiteral("用户 %1 恢复了出厂参数（%2 项）")
            .arg(pick(rng, users))
            .arg(rng.bounded(5, 40));
    }
    case SystemLog::UserAction:
        switch (variant) {
        case 0:
            return QStringLiteral("用户 %1 登录").arg(pick(rng, users));
        case 1:
            return QStringLiteral("用户 %1 退出登录").arg(pick(rng, users));
        case 2:
            return QStringLiteral("User %1 logged in from 192.168.1.%2")
                .arg(pick(rng, users))
                .arg(rng.bounded(2, 250));
        default:
            return QStringLiteral("User %1 exported the log of station %2")
                .arg(pick(rng, users))
                .arg(pick(rng, stations));
        }
    case SystemLog::SystemStatus:
        switch (variant) {
        case 0:
            return QStringLiteral("系统启动完成，版本 1.0.%1").arg(rng.bounded(0, 9));
        case 1:
            return QStringLiteral("CPU 占用 %1%，内存占用 %2 MB")
                .arg(rng.bounded(3, 95))
                .arg(rng.bounded(200, 4000));
        case 2:
            return QStringLiteral("Disk usage at %1%, %2 GB free")
                .arg(rng.bounded(20, 97))
                .arg(rng.bounded(1, 400));
        default:
            return QStringLiteral("数据库备份完成，用时 %1 ms").arg(rng.bounded(50, 5000));
        }
    case SystemLog::Alarm:
        switch (variant) {
        case 0: {
            const int limit = static_cast<int>(rng.bounded(60, 90));
            return QStringLiteral("报警：温度 %1 ℃ 超过上限 %2 ℃")
                .arg(limit + static_cast<int>(rng.bounded(1, 15)))
                .arg(limit);
        }
        case 1:
            return QStringLiteral("Alarm: emergency stop pressed at station %1")
                .arg(pick(rng, stations));
        case 2:
            return QStringLiteral("报警：设备 %1 通信中断").arg(pick(rng, stations));
        default:
            return QStringLiteral("Alarm cleared at station %1 by %2")
                .arg(pick(rng, stations))
                .arg(pick(rng, users));
        }
    default:
        switch (variant) {
        case 0:
            return QStringLiteral("配置文件已保存");
        case 1:
            return QStringLiteral("Network time synchronised (offset %1 ms)")
                .arg(rng.bounded(0, 120));
        case 2:
            return QStringLiteral("打印任务 %1 已完成").arg(rng.bounded(1000, 9999));
        default:
            return QStringLiteral("Shift handover: %1 took over from %2")
                .arg(pick(rng, users))
                .arg(pick(rng, users));
        }
    }
}

bool parseTypes(const QString &text, QVector<int> *types)
{
    const QStringList parts = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        bool ok = false;
        const int type = part.trimmed().toInt(&ok);
        if (!ok || type < 0 || type >= kTypeCount)
            return false;
        if (!types->contains(type))
            types->append(type);
    }
    return !types->isEmpty();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fill_log"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Logs sample records through the log service into dbLog.db in the "
                       "working directory."));
    parser.addHelpOption();
    const QCommandLineOption countOption(QStringLiteral("count"),
                                         QStringLiteral("Number of records to log (default 100)."),
                                         QStringLiteral("n"), QStringLiteral("100"));
    const QCommandLineOption typesOption(
        QStringLiteral("types"),
        QStringLiteral("Comma-separated categories 0-4 to log, in turn (default 0,1,2,3,4)."),
        QStringLiteral("list"), QStringLiteral("0,1,2,3,4"));
    const QCommandLineOption seedOption(
        QStringLiteral("seed"), QStringLiteral("Seed of the message choice (default: random)."),
        QStringLiteral("s"));
    parser.addOption(countOption);
    parser.addOption(typesOption);
    parser.addOption(seedOption);
    parser.process(app);

    bool ok = false;
    const int count = parser.value(countOption).toInt(&ok);
    if (!ok || count < 0) {
        std::fprintf(stderr, "fill_log: --count needs a number >= 0\n");
        return 2;
    }
    QVector<int> types;
    if (!parseTypes(parser.value(typesOption), &types)) {
        std::fprintf(stderr, "fill_log: --types needs a comma-separated list of 0 to 4\n");
        return 2;
    }
    QRandomGenerator rng;
    if (parser.isSet(seedOption)) {
        const uint seed = parser.value(seedOption).toUInt(&ok);
        if (!ok) {
            std::fprintf(stderr, "fill_log: --seed needs a non-negative number\n");
            return 2;
        }
        rng.seed(seed);
    } else {
        rng.seed(QRandomGenerator::global()->generate());
    }

    SystemLog::qzSysLog::instance()->start();

    QVector<int> perType(kTypeCount, 0);
    for (int i = 0; i < count; ++i) {
        const int type = types.at(i % types.size());
        const QByteArray message = makeMessage(type, rng).toUtf8();
        SystemLog::outputHook(type, message.constData(), message.size());
        ++perType[type];
    }

    // Stores everything queued above before it returns; the hook writes to standard output again.
    SystemLog::qzSysLog::release();

    std::printf("fill_log: logged %d records into %s\n", count,
                qUtf8Printable(QDir::current().absoluteFilePath(QStringLiteral("dbLog.db"))));
    for (int type : types)
        std::printf("  %d %s: %d\n", type, kTypeNames[type], perType.at(type));
    return 0;
}
