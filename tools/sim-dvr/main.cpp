// tavro-sim-dvr: a DVR and an IO module on loopback-friendly ports, drawn
// and switched in software, for demonstrations and tests without hardware.
#include "SimDvr.h"
#include "SimDvrOptions.h"

#include <QGuiApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    // Pictures are drawn into images only: no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    SimDvrOptions options;
    QString message;
    switch (SimDvrOptions::parse(app.arguments(), &options, &message)) {
    case SimDvrOptions::Outcome::Help:
        out << message;
        return 0;
    case SimDvrOptions::Outcome::Error:
        err << "tavro-sim-dvr: " << message << "\nTry --help.\n";
        return 2;
    case SimDvrOptions::Outcome::Run:
        break;
    }

    SimDvr dvr(options);
    if (!dvr.start(options.port, options.ioPort)) {
        err << "tavro-sim-dvr: " << dvr.errorString() << '\n';
        return 1;
    }
    QObject::connect(&dvr, &SimDvr::outputChanged, [&out](int output, int level) {
        out << "output " << output << (level ? " on" : " off") << Qt::endl;
    });
    out << "snapshots: http://127.0.0.1:" << dvr.port() << "/snapshot0.jpg .. snapshot" << options.channels - 1 << ".jpg\n"
        << "IO module: http://127.0.0.1:" << dvr.ioPort() << "/alarm.htm\n"
        << "user " << options.user << ", password " << options.password << Qt::endl;
    return app.exec();
}
