#include "CentralTests.h"
#include "LogCapture.h"
#include "Utils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void touch(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

} // namespace

class TestUtils : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void writeFileMakesTheDirectoryChain()
    {
        const QString path = m_dir->filePath(QStringLiteral("html/North/Lobby.html"));
        Utils::writeFile(path, QStringLiteral("Вход – Zürich"));
        QCOMPARE(contentOf(path), QStringLiteral("Вход – Zürich").toUtf8());
    }

    void writeFileLeavesExactlyTheNewContent()
    {
        const QString path = m_dir->filePath(QStringLiteral("page.html"));
        Utils::writeFile(path, QString(1000, QLatin1Char('x')));
        Utils::writeFile(path, QStringLiteral("short"));
        QCOMPARE(contentOf(path), QByteArray("short"));
        // Replaced by renaming a finished file: no temporary is left behind.
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList("page.html"));
    }

    void writeFileNamesAFileItCannotWrite()
    {
        touch(m_dir->filePath(QStringLiteral("plain")));
        const QString path = m_dir->filePath(QStringLiteral("plain/page.html"));
        LogCapture log;
        Utils::writeFile(path, QStringLiteral("page"));
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines().at(0).startsWith(QStringLiteral("  Can't write %1: ").arg(path)));
    }

    void removeFileOfAMissingPathDoesNothing()
    {
        Utils::removeFile(m_dir->filePath(QStringLiteral("missing")));
        const QString path = m_dir->filePath(QStringLiteral("present"));
        touch(path);
        Utils::removeFile(path);
        QVERIFY(!QFile::exists(path));
    }

    void cleanDirectoryKeepsOnlyTheNamedEntries()
    {
        const QString dir = m_dir->path();
        const QString outside = m_dir->filePath(QStringLiteral("outside"));
        touch(dir + "/html/images/logo.png");
        touch(dir + "/html/Images/other.png");
        touch(dir + "/html/North/5.html");
        touch(dir + "/html/index.html");
        touch(outside + "/precious");
        QVERIFY(QFile::link(outside, dir + "/html/link"));

        LogCapture log;
        const QString html = dir + "/html";
        Utils::cleanDirectory(html, {QStringLiteral("images")});

        QCOMPARE(QDir(html).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList("images"));
        QVERIFY(QFile::exists(html + "/images/logo.png"));
        QVERIFY(QFile::exists(outside + "/precious"));
        QCOMPARE(log.lines(), QStringList({"Removing dir recursively: " + html + "/Images",
                                           "Removing file: " + html + "/index.html",
                                           "Removing file: " + html + "/link",
                                           "Removing dir recursively: " + html + "/North"}));
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

int runUtilsTests(int argc, char **argv)
{
    TestUtils test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestUtils.moc"
