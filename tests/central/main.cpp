#include "CentralTests.h"

#include <QCoreApplication>

#include <ctime>
#include <cstdlib>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::srand(unsigned(std::time(nullptr)));
    int failures = 0;
    for (auto run : {runZeroMQTests, runCommandManagerTests, runConfigSyncTests,
                     runLayoutPagesTests, runUtilsTests})
        failures += run(argc, argv);
    return failures;
}
