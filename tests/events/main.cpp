#include "EventsTests.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int failures = 0;
    failures += runAlarmPageTest(argc, argv);
    failures += runOutputsRequestTest(argc, argv);
    failures += runHttpEventsTest(argc, argv);
    return failures;
}
