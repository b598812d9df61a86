// Writes the systemd unit that runs the program installed at a given path:
// the unit a package carries, the same text `tavro --install` writes.
//   make_unit <program path> <unit file>
#include "SystemdUnit.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    if (argc != 3) {
        err << "usage: make_unit <program path> <unit file>\n";
        return 2;
    }
    QSaveFile unit(QString::fromLocal8Bit(argv[2]));
    if (!unit.open(QIODevice::WriteOnly)
        || unit.write(SystemdUnit::text(QStringLiteral("TAVRO"), QString::fromLocal8Bit(argv[1])).toUtf8()) < 0
        || !unit.commit()) {
        err << "cannot write " << argv[2] << ": " << unit.errorString() << '\n';
        return 1;
    }
    return 0;
}
