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

    // The user the unit runs the service as, and the state directory where
    // it keeps its files.
    static QString userName();
    static QString dataDirectory();

    static QString text(const QString &description, const QString &programPath);

    // Both return an error text, empty on success.
    static QString install(const QString &directory, const QString &description, const QString &programPath);
    static QString uninstall(const QString &directory);

    // Creates the system user the unit runs as, when there is none yet.
    static void ensureUser();

    // Runs systemctl with the arguments; does nothing where systemd is not
    // running (containers, CI).
    static void systemctl(const QStringList &arguments);
};

#endif // SYSTEMDUNIT_H
