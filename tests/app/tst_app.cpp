#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// Drives the real service binary, copied into a directory of its own so that
// its settings files are created from scratch beside it.
class tst_App : public QObject
{
    Q_OBJECT

private slots:
    void serviceStartsInAnEmptyDirectoryAndStopsOnSignal_data();
    void serviceStartsInAnEmptyDirectoryAndStopsOnSignal();
    void commandLine_data();
    void commandLine();
    void installAndUninstallTheUnit();

private:
    static QString copyProgram(const QTemporaryDir &dir);
    static QStringList messages(const QByteArray &stderrBytes);
};

QString tst_App::copyProgram(const QTemporaryDir &dir)
{
    const QString program = dir.filePath(QStringLiteral("tavro"));
    if (!QFile::copy(QStringLiteral(TAVRO_BINARY), program))
        return QString();
    return program;
}

// The log lines without their timestamps; fails the test on a malformed line.
QStringList tst_App::messages(const QByteArray &stderrBytes)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z (.*)$"));
    QStringList result;
    for (const QByteArray &line : stderrBytes.split('\n')) {
        if (line.isEmpty())
            continue;
        const QRegularExpressionMatch match = stamp.match(QString::fromUtf8(line));
        if (!match.hasMatch())
            return {QStringLiteral("malformed: ") + QString::fromUtf8(line)};
        result.append(match.captured(1));
    }
    return result;
}

void tst_App::serviceStartsInAnEmptyDirectoryAndStopsOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_App::serviceStartsInAnEmptyDirectoryAndStopsOnSignal()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    const QString program = copyProgram(dir);
    QVERIFY(!program.isEmpty());

    QProcess service;
    QByteArray log;
    connect(&service, &QProcess::readyReadStandardError, this, [&] { log += service.readAllStandardError(); });
    service.start(program, {QStringLiteral("--service")});
    QVERIFY(service.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("  Push: tcp://127.0.0.1:5002\n"), 10000);

    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("settings.db"))));
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("settings.ini"))));

    ::kill(pid_t(service.processId()), signal);
    QVERIFY(service.waitForFinished(10000));
    log += service.readAllStandardError();
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), 0);

    const QStringList lines = messages(log);
    const QStringList expectedStart = {
        QStringLiteral("Service started"),
        QStringLiteral("void Config::load()"),
        QStringLiteral("  Loaded 0 DVRs"),
        QStringLiteral("  Loaded 0 Streams"),
        QStringLiteral("  Loaded 0 IOs"),
        QStringLiteral("  Loaded 0 Doors"),
        QStringLiteral("  Sub: tcp://127.0.0.1:5001"),
        QStringLiteral("  Push: tcp://127.0.0.1:5002"),
    };
    QCOMPARE(lines.mid(0, expectedStart.size()), expectedStart);
    QVERIFY2(lines.indexOf(QStringLiteral("Stopping service")) > 0, qPrintable(lines.join(QLatin1Char('\n'))));
    QCOMPARE(lines.last(), QStringLiteral("Service stopped!"));
}

void tst_App::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("usageOnStdout");
    QTest::newRow("help") << QStringList({QStringLiteral("--help")}) << 0 << true;
    QTest::newRow("no argument") << QStringList() << 0 << true;
    QTest::newRow("unknown option") << QStringList({QStringLiteral("--frobnicate")}) << 2 << false;
    QTest::newRow("two commands") << QStringList({QStringLiteral("--install"), QStringLiteral("--uninstall")}) << 2 << false;
}

void tst_App::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(bool, usageOnStdout);
    QTemporaryDir dir;
    QProcess tavro;
    tavro.start(copyProgram(dir), arguments);
    QVERIFY(tavro.waitForFinished(10000));
    QCOMPARE(tavro.exitCode(), exitCode);
    const QByteArray usage = usageOnStdout ? tavro.readAllStandardOutput() : tavro.readAllStandardError();
    QVERIFY(usage.contains("Usage: tavro"));
    QVERIFY(usage.contains("--service"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("settings.db"))));
}

void tst_App::installAndUninstallTheUnit()
{
    QTemporaryDir dir;
    const QString program = copyProgram(dir);
    const QString units = dir.filePath(QStringLiteral("units"));

    QProcess install;
    install.start(program, {QStringLiteral("--install"), QStringLiteral("--unit-dir"), units});
    QVERIFY(install.waitForFinished(10000));
    QCOMPARE(install.exitCode(), 0);
    QCOMPARE(messages(install.readAllStandardError()), QStringList({QStringLiteral("Service installed!")}));

    QFile unit(units + QStringLiteral("/tavro.service"));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    const QByteArray text = unit.readAll();
    unit.close();
    QVERIFY(text.contains("ExecStart=" + program.toUtf8() + " --service\n"));
    QVERIFY(text.contains("WorkingDirectory=" + dir.path().toUtf8() + "\n"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("settings.db"))));

    QProcess uninstall;
    uninstall.start(program, {QStringLiteral("--uninstall"), QStringLiteral("--unit-dir"), units});
    QVERIFY(uninstall.waitForFinished(10000));
    QCOMPARE(uninstall.exitCode(), 0);
    QCOMPARE(messages(uninstall.readAllStandardError()), QStringList({QStringLiteral("Service uninstalled!")}));
    QVERIFY(!unit.exists());
}

QTEST_GUILESS_MAIN(tst_App)
#include "tst_app.moc"
