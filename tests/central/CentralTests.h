#ifndef CENTRALTESTS_H
#define CENTRALTESTS_H

int runZeroMQTests(int argc, char **argv);
int runCommandManagerTests(int argc, char **argv);
int runConfigSyncTests(int argc, char **argv);
int runLayoutPagesTests(int argc, char **argv);
int runUtilsTests(int argc, char **argv);

#endif // CENTRALTESTS_H
