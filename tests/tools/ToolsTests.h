#ifndef TOOLSTESTS_H
#define TOOLSTESTS_H

// Each test class of this executable runs through its own entry point.
int runSimDvrTest(int argc, char **argv);
int runCentralToolTest(int argc, char **argv);

#endif // TOOLSTESTS_H
