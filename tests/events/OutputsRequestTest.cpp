#include "EventsTests.h"
#include "OutputsRequest.h"

#include <QtTest>

namespace {
using IntMap = QMap<int, int>;
}

class OutputsRequestTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void OutputsRequestTest::parse_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<IntMap>("change");

    QTest::newRow("two outputs") << "1,1|3,0" << true << IntMap{{1, 1}, {3, 0}};
    QTest::newRow("later pair wins") << "1,1|1,0" << true << IntMap{{1, 0}};
    QTest::newRow("value not a number") << "2,on" << true << IntMap{{2, 0}};
    QTest::newRow("one field drops all") << "1,1|2" << false << IntMap();
    QTest::newRow("three fields drop all") << "1,1,1" << false << IntMap();
    QTest::newRow("empty trailing pair") << "1,1|" << false << IntMap();
    QTest::newRow("empty") << "" << false << IntMap();
}

void OutputsRequestTest::parse()
{
    QFETCH(QString, value);
    QFETCH(bool, accepted);
    QFETCH(IntMap, change);

    const std::optional<IntMap> parsed = OutputsRequest::parse(value);
    QCOMPARE(parsed.has_value(), accepted);
    if (accepted)
        QCOMPARE(*parsed, change);
}

int runOutputsRequestTest(int argc, char **argv)
{
    OutputsRequestTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "OutputsRequestTest.moc"
