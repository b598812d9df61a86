#include "AlarmPage.h"
#include "EventsTests.h"

#include <QtTest>

namespace {

using IntMap = QMap<int, int>;

// What a module shows, with a commented-out block left by its firmware.
const char ModulePage[] = R"(<html><body>
<!-- previous layout
<blink>on</blink>
<select name="gpo9"><option value="1" selected>On</option></select>
-->
<table>
<tr><td>Door</td><td><blink>ON</blink></td></tr>
<tr><td>Window</td><td><blink>off</blink></td></tr>
<tr><td>Gate</td><td><blink> on</blink></td></tr>
</table>
<form>
<select name="gpi1"><option value="0" selected>Off</option><option value="1">On</option></select>
<select name="gpo1"><option value="0">Off</option><option value="5" selected>On</option></select>
<select name="gpo10"><option selected value="7">Off</option><option value="1">On</option></select>
<select name="gpo2" id="relay"><option value="3" selected>Off</option></select>
<select name="mode"><option value="4" selected>Auto</option></select>
</form>
</body></html>)";

} // namespace

class AlarmPageTest : public QObject
{
    Q_OBJECT

private slots:
    void readsModulePage();
    void rules_data();
    void rules();
};

void AlarmPageTest::readsModulePage()
{
    const AlarmPage page = AlarmPage::parse(ModulePage);

    QCOMPARE(page.inputs, (IntMap{{1, 1}, {2, 0}, {3, 0}}));
    QCOMPARE(page.states, (IntMap{{1, 0}}));
    // gpo1: its first option is not selected; gpo2: the attribute after the
    // name spoils the number, so the value lands under 0.
    QCOMPARE(page.outputs, (IntMap{{0, 3}, {1, 1}, {10, 7}}));
}

void AlarmPageTest::rules_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<IntMap>("inputs");
    QTest::addColumn<IntMap>("outputs");
    QTest::addColumn<IntMap>("states");

    QTest::newRow("no elements") << QByteArray("<html><p>offline</p></html>") << IntMap() << IntMap() << IntMap();
    QTest::newRow("blink text across a line break")
        << QByteArray("<blink>o\nn</blink><blink>on</blink>") << IntMap{{1, 1}} << IntMap() << IntMap();
    QTest::newRow("upper-case markup")
        << QByteArray("<SELECT NAME=\"GPO2\"><OPTION VALUE=\"0\" SELECTED>x</OPTION></SELECT>")
        << IntMap() << IntMap{{2, 0}} << IntMap();
    QTest::newRow("unquoted name and value")
        << QByteArray("<select name=gpi3><option value=6 selected>x</option></select>")
        << IntMap() << IntMap() << IntMap{{3, 6}};
    QTest::newRow("select without options") << QByteArray("<select name=\"gpo4\">none</select>")
                                            << IntMap() << IntMap{{4, 1}} << IntMap();
    QTest::newRow("comment spanning elements")
        << QByteArray("<blink>on</blink><!--<blink>on</blink>\n<select name=\"gpo1\"><option value=0 selected>"
                      "</option></select>--><blink>off</blink>")
        << IntMap{{1, 1}, {2, 0}} << IntMap() << IntMap();
    QTest::newRow("stops at the first NUL byte")
        << QByteArray("<blink>on</blink>\0<blink>on</blink>", 35) << IntMap{{1, 1}} << IntMap() << IntMap();
}

void AlarmPageTest::rules()
{
    QFETCH(QByteArray, page);
    QFETCH(IntMap, inputs);
    QFETCH(IntMap, outputs);
    QFETCH(IntMap, states);

    const AlarmPage parsed = AlarmPage::parse(page);
    QCOMPARE(parsed.inputs, inputs);
    QCOMPARE(parsed.outputs, outputs);
    QCOMPARE(parsed.states, states);
}

int runAlarmPageTest(int argc, char **argv)
{
    AlarmPageTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "AlarmPageTest.moc"
