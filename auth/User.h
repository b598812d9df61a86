#ifndef USER_H
#define USER_H

#include <QByteArray>
#include <QString>

// One user of the users file: a name, a role, and the password's hash record.
struct User
{
    enum class Role { Viewer, Operator };

    QString name;
    Role role = Role::Viewer;
    QByteArray passwordRecord;

    // Changes whenever the password is set again (each record has a salt of
    // its own), so sessions that carry it end with the password they began with.
    QByteArray stamp() const;

    static bool isValidName(const QString &name);
    static QString roleName(Role role);
    // False for anything but "viewer" and "operator".
    static bool parseRole(const QString &text, Role *role);
};

#endif // USER_H
