#include "UserCommands.h"

#include "PasswordHash.h"
#include "User.h"
#include "UserStore.h"

#include <QLockFile>

#include <cstdio>

#include <termios.h>
#include <unistd.h>

namespace {

constexpr int BadInput = 2;
constexpr int Failure = 1;
constexpr int MaxPasswordLength = 1024;

int fail(int code, const QString &message)
{
    std::fprintf(stderr, "tavro: %s\n", qPrintable(message));
    return code;
}

// One line of standard input without its line break; null at end of input.
QByteArray readLine(bool hidden)
{
    termios saved = {};
    const bool hide = hidden && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (hide) {
        termios quiet = saved;
        quiet.c_lflag &= tcflag_t(~ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QByteArray line;
    int c = 0;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
        if (line.size() <= MaxPasswordLength)
            line.append(char(c));
    }
    if (hide) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    if (line.endsWith('\r'))
        line.chop(1);
    return c == EOF && line.isEmpty() ? QByteArray() : line;
}

// From a terminal, asked twice without echo; otherwise the first line.
bool readPassword(QByteArray *password, QString *error)
{
    const bool terminal = ::isatty(STDIN_FILENO);
    if (terminal)
        std::fputs("Password: ", stderr);
    *password = readLine(terminal);
    if (terminal) {
        std::fputs("Password again: ", stderr);
        if (readLine(true) != *password) {
            *error = QStringLiteral("the two passwords differ");
            return false;
        }
    }
    if (password->isEmpty())
        *error = QStringLiteral("the password is empty");
    else if (password->size() > MaxPasswordLength)
        *error = QStringLiteral("the password is longer than %1 bytes").arg(MaxPasswordLength);
    return error->isEmpty();
}

// The store loaded under a lock, so that two commands at once never lose
// each other's change.
struct LockedStore
{
    LockedStore()
        : store(UserStore::defaultPath())
        , lock(UserStore::defaultPath() + QStringLiteral(".lock"))
    {
    }
    bool open(QString *error)
    {
        if (!lock.tryLock(10000)) {
            *error = lock.error() == QLockFile::LockFailedError
                ? QStringLiteral("%1 is locked by another command").arg(UserStore::defaultPath())
                : QStringLiteral("cannot write beside %1").arg(UserStore::defaultPath());
            return false;
        }
        return store.load(error);
    }
    UserStore store;
    QLockFile lock;
};

int addUser(const QStringList &arguments)
{
    QString name;
    QString roleText;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--role") && i + 1 < arguments.size())
            roleText = arguments.at(++i);
        else if (name.isEmpty() && !arguments.at(i).startsWith(QLatin1String("--")))
            name = arguments.at(i);
        else
            return fail(BadInput, QStringLiteral("unexpected argument %1; usage: --add-user NAME --role viewer|operator").arg(arguments.at(i)));
    }
    User user;
    if (name.isEmpty() || roleText.isEmpty())
        return fail(BadInput, QStringLiteral("usage: --add-user NAME --role viewer|operator"));
    if (!User::isValidName(name))
        return fail(BadInput, QStringLiteral("a user name has 1 to 64 letters, digits, '.', '_' or '-'"));
    if (!User::parseRole(roleText, &user.role))
        return fail(BadInput, QStringLiteral("unknown role %1: viewer or operator").arg(roleText));
    QByteArray password;
    QString error;
    if (!readPassword(&password, &error))
        return fail(BadInput, error);

    user.name = name;
    user.passwordRecord = PasswordHash::make(password);
    if (user.passwordRecord.isEmpty())
        return fail(Failure, QStringLiteral("the password could not be hashed"));
    LockedStore locked;
    if (!locked.open(&error))
        return fail(Failure, error);
    const bool replaced = locked.store.find(name) != nullptr;
    locked.store.setUser(user);
    if (!locked.store.save(&error))
        return fail(Failure, error);
    std::printf("%s user %s (%s)\n", replaced ? "Changed" : "Added", qPrintable(name), qPrintable(User::roleName(user.role)));
    return 0;
}

int removeUser(const QStringList &arguments)
{
    if (arguments.size() != 1)
        return fail(BadInput, QStringLiteral("usage: --remove-user NAME"));
    const QString name = arguments.first();
    if (!User::isValidName(name))
        return fail(BadInput, QStringLiteral("a user name has 1 to 64 letters, digits, '.', '_' or '-'"));
    LockedStore locked;
    QString error;
    if (!locked.open(&error))
        return fail(Failure, error);
    if (!locked.store.removeUser(name))
        return fail(BadInput, QStringLiteral("there is no user %1").arg(name));
    if (!locked.store.save(&error))
        return fail(Failure, error);
    std::printf("Removed user %s\n", qPrintable(name));
    return 0;
}

int listUsers(const QStringList &arguments)
{
    if (!arguments.isEmpty())
        return fail(BadInput, QStringLiteral("usage: --list-users"));
    UserStore store(UserStore::defaultPath());
    QString error;
    if (!store.load(&error))
        return fail(Failure, error);
    for (const User &user : store.users())
        std::printf("%s %s\n", qPrintable(user.name), qPrintable(User::roleName(user.role)));
    return 0;
}

} // namespace

QDaemonCommand UserCommands::addUser()
{
    return {QStringLiteral("add-user"), QStringLiteral("NAME --role viewer|operator"),
            QStringLiteral("add a user, or change one, with the password read from standard input"), ::addUser};
}

QDaemonCommand UserCommands::removeUser()
{
    return {QStringLiteral("remove-user"), QStringLiteral("NAME"), QStringLiteral("remove a user"), ::removeUser};
}

QDaemonCommand UserCommands::listUsers()
{
    return {QStringLiteral("list-users"), QString(), QStringLiteral("list the users and their roles"), ::listUsers};
}
