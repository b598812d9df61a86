#include "PublicKeyCommand.h"

#include "CurveKeyPair.h"
#include "QDaemonApplication.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

int showPublicKey(const QStringList &arguments)
{
    if (!arguments.isEmpty()) {
        std::fprintf(stderr, "--show-public-key takes no arguments\n");
        return 2;
    }
    if (!CurveKeyPair::isAvailable()) {
        std::fprintf(stderr, "This ZeroMQ library cannot encrypt (no CURVE)\n");
        return 1;
    }
    CurveKeyPair keys;
    QString error;
    if (!CurveKeyPair::readOrCreate(PublicKeyCommand::keyFilePath(), &keys, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s\n", keys.publicKey.constData());
    return 0;
}

} // namespace

QDaemonCommand PublicKeyCommand::command()
{
    return {QStringLiteral("show-public-key"), QString(),
            QStringLiteral("print the service's public key for Central (made at first use)"), showPublicKey};
}

QString PublicKeyCommand::keyFilePath()
{
    return QDaemonApplication::dataDirectory() + QStringLiteral("/service.key");
}
