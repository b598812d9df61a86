#ifndef EVENTSTESTS_H
#define EVENTSTESTS_H

// Each test class of this executable runs through its own entry point.
int runAlarmPageTest(int argc, char **argv);
int runOutputsRequestTest(int argc, char **argv);
int runHttpEventsTest(int argc, char **argv);

#endif // EVENTSTESTS_H
