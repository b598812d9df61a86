// tavro-central: a minimal Central for one site, for demonstrations and for
// configuring a site by hand.
#include "CentralLink.h"
#include "CentralOptions.h"
#include "CentralSession.h"
#include "SiteConfigReader.h"

#include "proto/svc.pb.h"

#include <QCoreApplication>
#include <QTextStream>

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
        << ", ping number " << session.pingNumber() << Qt::endl;
    session.start(options.pingIntervalMs);
    return app.exec();
}
