#include <QCoreApplication>
#include <QMetaMethod>
#include <QStringList>
#include <QtTest>

#include <memory>

std::unique_ptr<QObject> makeHTTPFetcherTest();
std::unique_ptr<QObject> makeVideoServerTest();

namespace {

bool hasTestFunction(const QObject &test, const QString &name)
{
    const QMetaObject *meta = test.metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        if (QString::fromLatin1(meta->method(i).name()) == name.section(QLatin1Char(':'), 0, 0))
            return true;
    }
    return false;
}

// Test functions named on the command line go to the class that has them;
// a class with none of them is skipped. Options go to every class.
int run(QObject &test, const QStringList &arguments)
{
    static const QStringList optionsWithValue = {"-o", "-maxwarnings", "-eventdelay", "-keydelay",
                                                 "-mousedelay", "-seed", "-platform"};
    QStringList selected = {arguments.first()};
    bool named = false;
    bool mine = false;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument.startsWith(QLatin1Char('-'))) {
            selected << argument;
            if (optionsWithValue.contains(argument) && i + 1 < arguments.size())
                selected << arguments.at(++i);
        } else {
            named = true;
            if (hasTestFunction(test, argument)) {
                mine = true;
                selected << argument;
            }
        }
    }
    return named && !mine ? 0 : QTest::qExec(&test, selected);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    int failures = 0;
    for (const auto &test : {makeHTTPFetcherTest(), makeVideoServerTest()})
        failures += run(*test, arguments);
    return failures;
}
