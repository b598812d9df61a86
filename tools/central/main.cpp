// tavro-central: a minimal Central for one site, for demonstrations and for
// configuring a site by hand.
#include "CentralLink.h"
#include "CentralOptions.h"
#include "CentralSession.h"
#include "CurveKeyPair.h"
#include "SiteConfigReader.h"

#include "proto/svc.pb.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QTextStream>

namespace {

// Public keys, one a line, each optionally followed by a note after white
// space (keys hold characters such as # of their own); blank lines are skipped.
bool readAllowedClients(const QString &path, QSet<QByteArray> *keys, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    for (int number = 1; !file.atEnd(); ++number) {
        const QByteArray line = file.readLine(4096).simplified().split(' ').first();
        if (line.isEmpty())
            continue;
        if (!CurveKeyPair::isKey(line)) {
            *error = QStringLiteral("%1: line %2: not a public key of 40 characters of Z85 text").arg(path).arg(number);
            return false;
        }
        keys->insert(line);
    }
    return true;
}

int makeKey(const QString &path, QTextStream &out, QTextStream &err)
{
    QString error;
    if (QFile::exists(path)) {
        err << "tavro-central: " << path << " exists; not replaced\n";
        return 2;
    }
    const CurveKeyPair keys = CurveKeyPair::generate();
    if (keys.secretKey.isEmpty() || !CurveKeyPair::write(path, keys, &error)) {
        err << "tavro-central: cannot make a key pair: " << error << '\n';
        return 1;
    }
    out << keys.publicKey << Qt::endl;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    CentralOptions options;
    QString message;
    switch (CentralOptions::parse(app.arguments(), &options, &message)) {
    case CentralOptions::Outcome::Help:
        out << message;
        return 0;
    case CentralOptions::Outcome::Error:
        err << "tavro-central: " << message << "\nTry --help.\n";
        return 2;
    case CentralOptions::Outcome::Run:
        break;
    }

    if (!options.makeKeyPath.isEmpty())
        return makeKey(options.makeKeyPath, out, err);

    CurveKeyPair serverKeys;
    QSet<QByteArray> allowed(options.allowedClients.cbegin(), options.allowedClients.cend());
    if (!options.secretKeyPath.isEmpty()
        && (!CurveKeyPair::read(options.secretKeyPath, &serverKeys, &message)
            || (!options.allowedClientsPath.isEmpty() && !readAllowedClients(options.allowedClientsPath, &allowed, &message)))) {
        err << "tavro-central: " << message << '\n';
        return 2;
    }

    SystemData site;
    if (!SiteConfigReader::readFile(options.sitePath, &site, &message)) {
        err << "tavro-central: " << message << '\n';
        return 2;
    }
    for (LayoutPage &layout : options.layouts) {
        if (!layout.load(&message)) {
            err << "tavro-central: " << message << '\n';
            return 2;
        }
    }

    CentralLink link;
    if (!options.secretKeyPath.isEmpty()) {
        link.setCurveServer(serverKeys.secretKey);
        if (!allowed.isEmpty())
            link.allowClients(allowed);
    }
    if (!link.bind(options.publishEndpoint(), options.pullEndpoint(), &message)) {
        err << "tavro-central: cannot bind " << options.publishEndpoint() << " and " << options.pullEndpoint()
            << ": " << message << '\n';
        return 1;
    }
    CentralSession session(&link, site, options.layouts);
    const auto print = [&out](const QString &line) { out << line << Qt::endl; };
    QObject::connect(&session, &CentralSession::report, print);
    QObject::connect(&link, &CentralLink::error, print);

    out << "publishing on " << options.publishEndpoint() << ", pulling on " << options.pullEndpoint()
        << ", ping number " << session.pingNumber()
        << (options.secretKeyPath.isEmpty() ? QStringLiteral(", not encrypted")
                                            : QStringLiteral(", encrypted, public key %1").arg(QString::fromLatin1(serverKeys.publicKey)))
        << Qt::endl;
    session.start(options.pingIntervalMs);
    return app.exec();
}
