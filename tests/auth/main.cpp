#include "AuthTests.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int failures = 0;
    failures += runAuthUnitTest(argc, argv);
    failures += runAccessServiceTest(argc, argv);
    return failures;
}
