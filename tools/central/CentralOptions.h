#ifndef CENTRALOPTIONS_H
#define CENTRALOPTIONS_H

#include "LayoutPage.h"

#include <QList>
#include <QString>
#include <QStringList>

// The command line of tavro-central. Files are named here and read later.
struct CentralOptions
{
    enum class Outcome { Run, Help, Error };

    QString sitePath;
    QString address = QStringLiteral("127.0.0.1");
    quint16 publishPort = 5001;
    quint16 pullPort = 5002;
    int pingIntervalMs = 2000;
    QList<LayoutPage> layouts; // io id and path; content not yet loaded
    QString secretKeyPath;      // key pair file: serve the encrypted link
    QString makeKeyPath;        // only make a key pair into this file
    QList<QByteArray> allowedClients; // public keys (Z85) of the services let in
    QString allowedClientsPath; // a file of more such keys, one a line

    QString publishEndpoint() const;
    QString pullEndpoint() const;

    // Fills options from arguments (the program name first). For Help the
    // message is the help text, for Error a one-line reason.
    static Outcome parse(const QStringList &arguments, CentralOptions *options, QString *message);
};

#endif // CENTRALOPTIONS_H
