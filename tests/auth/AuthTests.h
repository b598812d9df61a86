#ifndef AUTHTESTS_H
#define AUTHTESTS_H

// Each test class of this executable runs through its own entry point.
int runAuthUnitTest(int argc, char **argv);
int runAccessServiceTest(int argc, char **argv);

#endif // AUTHTESTS_H
