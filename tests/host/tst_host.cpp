#include "QDaemonLog.h"
#include "SystemdUnit.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class tst_Host : public QObject
{
    Q_OBJECT

private slots:
    void logLineFormat_data();
    void logLineFormat();
    void logMessagesAreSignalled();
    void unitText();
    void unitIsLockedDown();
    void unitPassesSystemdVerify();
    void unitInstallAndUninstall();
    void uninstallOfMissingUnitSucceeds();
    void installIntoUnwritableDirectoryFails();
};

void tst_Host::logLineFormat_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("plain") << QStringLiteral("Service started") << QByteArray("2026-03-04T05:06:07.089Z Service started\n");
    QTest::newRow("leading blanks kept") << QStringLiteral("  Loaded 0 DVRs") << QByteArray("2026-03-04T05:06:07.089Z   Loaded 0 DVRs\n");
    QTest::newRow("line breaks escaped") << QStringLiteral("a\r\nb\nc") << QByteArray("2026-03-04T05:06:07.089Z a\\r\\nb\\nc\n");
    QTest::newRow("utf-8") << QStringLiteral("Tür") << QByteArray("2026-03-04T05:06:07.089Z T\xc3\xbcr\n");
    QTest::newRow("empty") << QString() << QByteArray("2026-03-04T05:06:07.089Z \n");
}

void tst_Host::logLineFormat()
{
    QFETCH(QString, message);
    QFETCH(QByteArray, line);
    const QDateTime when(QDate(2026, 3, 4), QTime(5, 6, 7, 89), Qt::UTC);
    QCOMPARE(QDaemonLog::formatLine(when, message), line);
    // The same instant given in another zone is written in UTC.
    QCOMPARE(QDaemonLog::formatLine(when.toOffsetFromUtc(3600), message), line);
}

void tst_Host::logMessagesAreSignalled()
{
    QSignalSpy spy(&qDaemonLog(), &QDaemonLog::messageLogged);
    qDaemonLog() << QStringLiteral("one") << QStringLiteral("two");
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("one"));
    QCOMPARE(spy.at(1).at(0).toString(), QStringLiteral("two"));
}

void tst_Host::unitText()
{
    const QString text = SystemdUnit::text(QStringLiteral("TAVRO"), QStringLiteral("/opt/tavro/bin/tavro"));
    const QStringList lines = text.split(QLatin1Char('\n'));
    const QString execStart = QStringLiteral("ExecStart=/opt/tavro/bin/tavro --data-dir /var/lib/tavro --service");
    for (const char *line : {"Description=TAVRO", "Type=notify", "WatchdogSec=30", "User=tavro", "StateDirectory=tavro",
                             "WorkingDirectory=/var/lib/tavro", "Restart=on-failure", "RestartSec=5", "WantedBy=multi-user.target"})
        QVERIFY2(lines.contains(QLatin1String(line)), line);
    QVERIFY(lines.indexOf(QStringLiteral("[Service]")) < lines.indexOf(execStart));

    const QString spaced = SystemdUnit::text(QStringLiteral("TAVRO"), QStringLiteral("/opt/my tavro/tavro"));
    QVERIFY(spaced.contains(QStringLiteral("ExecStart=\"/opt/my tavro/tavro\" --data-dir")));
}

// Only binding low ports is left of root's powers; the files it makes are its own.
void tst_Host::unitIsLockedDown()
{
    const QStringList lines = SystemdUnit::text(QStringLiteral("TAVRO"), QStringLiteral("/opt/tavro/bin/tavro")).split(QLatin1Char('\n'));
    const QStringList service = lines.mid(lines.indexOf(QStringLiteral("[Service]")));
    for (const char *line : {"CapabilityBoundingSet=CAP_NET_BIND_SERVICE", "NoNewPrivileges=yes", "UMask=0077", "ProtectSystem=strict",
                             "ProtectHome=yes", "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK",
                             "SystemCallFilter=@system-service", "MemoryDenyWriteExecute=yes", "LimitNOFILE=65536"})
        QVERIFY2(service.contains(QLatin1String(line)), line);
}

// The unit as installed for a program that exists, checked offline by
// systemd's own verifier; skipped where systemd is not installed.
void tst_Host::unitPassesSystemdVerify()
{
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed");
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/tavro unit XXXXXX"));
    const QString program = dir.filePath(QStringLiteral("tavro"));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
    QCOMPARE(SystemdUnit::install(dir.path(), QStringLiteral("TAVRO"), program), QString());

    QProcess verify;
    verify.start(analyze, {QStringLiteral("verify"), dir.filePath(SystemdUnit::fileName())});
    QVERIFY(verify.waitForFinished(30000));
    const QString output = QString::fromLocal8Bit(verify.readAllStandardError() + verify.readAllStandardOutput());
    QVERIFY2(verify.exitCode() == 0, qPrintable(output));
    // Unknown keys and bad values are only warned about.
    QVERIFY2(!output.contains(SystemdUnit::fileName()), qPrintable(output));
}

void tst_Host::unitInstallAndUninstall()
{
    QTemporaryDir dir;
    const QString units = dir.filePath(QStringLiteral("units"));
    QCOMPARE(SystemdUnit::install(units, QStringLiteral("TAVRO"), QStringLiteral("/srv/tavro")), QString());
    QFile unit(units + QStringLiteral("/tavro.service"));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(unit.readAll()), SystemdUnit::text(QStringLiteral("TAVRO"), QStringLiteral("/srv/tavro")));
    unit.close();

    QCOMPARE(SystemdUnit::uninstall(units), QString());
    QVERIFY(!unit.exists());
}

void tst_Host::uninstallOfMissingUnitSucceeds()
{
    QTemporaryDir dir;
    QCOMPARE(SystemdUnit::uninstall(dir.path()), QString());
}

void tst_Host::installIntoUnwritableDirectoryFails()
{
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(!SystemdUnit::install(blocker.fileName() + QStringLiteral("/units"), QStringLiteral("TAVRO"), QStringLiteral("/srv/tavro")).isEmpty());
}

QTEST_GUILESS_MAIN(tst_Host)
#include "tst_host.moc"
