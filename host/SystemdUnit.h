#ifndef SYSTEMDUNIT_H
#define SYSTEMDUNIT_H

#include <QString>
#include <QStringList>

// The systemd unit that runs the program as a service: its text, and its
// installation into (and removal from) a unit directory.
class SystemdUnit
{
public:
    static QString fileName();
    static QString defaultDirectory();

    static QString text(const QString &description, const QString &programPath);

    // Both return an error text, empty on success.
    static QString install(const QString &directory, const QString &description, const QString &programPath);
    static QString uninstall(const QString &directory);

    // Runs systemctl with the arguments; does nothing where systemd is not
    // running (containers, CI).
    static void systemctl(const QStringList &arguments);
};

#endif // SYSTEMDUNIT_H
