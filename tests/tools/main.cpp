#include "ToolsTests.h"

#include <QGuiApplication>

int main(int argc, char **argv)
{
    // The simulated cameras draw text, which needs fonts but no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    int failures = 0;
    failures += runSimDvrTest(argc, argv);
    failures += runCentralToolTest(argc, argv);
    return failures;
}
