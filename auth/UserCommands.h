#ifndef USERCOMMANDS_H
#define USERCOMMANDS_H

#include "QDaemonCommand.h"

// The command-line commands that keep the users file: --add-user,
// --remove-user and --list-users. Bad input is one line on standard error
// and exit code 2, with the file left as it was.
class UserCommands
{
public:
    static QDaemonCommand addUser();
    static QDaemonCommand removeUser();
    static QDaemonCommand listUsers();
};

#endif // USERCOMMANDS_H
