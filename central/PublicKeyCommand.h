#ifndef PUBLICKEYCOMMAND_H
#define PUBLICKEYCOMMAND_H

#include "QDaemonCommand.h"

#include <QString>

// `--show-public-key`: prints the service's public key for Central's records,
// making the service's key pair first when there is none yet.
class PublicKeyCommand
{
public:
    PublicKeyCommand() = delete;

    static QDaemonCommand command();
    // The service's key pair, beside the program.
    static QString keyFilePath();
};

#endif // PUBLICKEYCOMMAND_H
