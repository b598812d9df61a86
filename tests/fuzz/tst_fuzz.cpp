#include "FuzzTargets.h"

#include <QDir>
#include <QFile>
#include <QtTest>

// Every file of corpus/<target>/ and regressions/<target>/ goes through its
// fuzz target's entry function, built with the ordinary compiler: none may
// crash, and the properties the entries check must hold.
class tst_Fuzz : public QObject
{
    Q_OBJECT

private slots:
    void replay_data();
    void replay();
};

void tst_Fuzz::replay_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("path");
    for (const FuzzTargets::Target &target : FuzzTargets::all()) {
        int inputs = 0;
        for (const char *kind : {"corpus", "regressions"}) {
            const QDir dir(QStringLiteral(FUZZ_INPUTS_DIR "/%1/%2").arg(QLatin1String(kind), QLatin1String(target.name)));
            for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
                QTest::newRow(qPrintable(QStringLiteral("%1/%2/%3").arg(QLatin1String(kind), QLatin1String(target.name), name)))
                    << QString::fromLatin1(target.name) << dir.filePath(name);
                ++inputs;
            }
        }
        QVERIFY2(inputs > 0, target.name);
    }
}

void tst_Fuzz::replay()
{
    QFETCH(QString, target);
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const FuzzTargets::Entry entry = FuzzTargets::find(target.toLatin1());
    QVERIFY(entry);
    QVERIFY(entry(file.readAll()));
}

QTEST_GUILESS_MAIN(tst_Fuzz)
#include "tst_fuzz.moc"
