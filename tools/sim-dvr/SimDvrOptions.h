#ifndef SIMDVROPTIONS_H
#define SIMDVROPTIONS_H

#include <QMap>
#include <QSize>
#include <QString>
#include <QStringList>

// The command line of tavro-sim-dvr.
struct SimDvrOptions
{
    enum class Outcome { Run, Help, Error };

    quint16 port = 8080;
    quint16 ioPort = 8081;
    int channels = 4;
    QString user = QStringLiteral("admin");
    QString password = QStringLiteral("admin");
    int inputs = 4;
    int outputs = 4;
    QMap<int, int> follows{{1, 1}}; // input -> output
    QSize size{640, 360};

    // Fills options from arguments (the program name first). For Help the
    // message is the help text, for Error a one-line reason.
    static Outcome parse(const QStringList &arguments, SimDvrOptions *options, QString *message);
};

#endif // SIMDVROPTIONS_H
