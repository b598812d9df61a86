#include <QCoreApplication>

int runRequestParserTests(int argc, char **argv);
int runServerTests(int argc, char **argv);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int failures = runRequestParserTests(argc, argv);
    failures += runServerTests(argc, argv);
    return failures;
}
