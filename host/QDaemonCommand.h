#ifndef QDAEMONCOMMAND_H
#define QDAEMONCOMMAND_H

#include <QString>
#include <QStringList>

#include <functional>

// A command of the program's own beside running the service: `--name` as the
// first argument runs it with the arguments that follow, and its result is
// the process's exit code.
struct QDaemonCommand
{
    QString name;        // the option without its dashes, e.g. "add-user"
    QString synopsis;    // what follows the option in the usage text
    QString description; // one line for the usage text
    std::function<int(const QStringList &arguments)> run;
};

#endif // QDAEMONCOMMAND_H
