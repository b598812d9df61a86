#ifndef LAYOUTPAGE_H
#define LAYOUTPAGE_H

#include <QByteArray>
#include <QString>

// A layout page that Central hands to the service for one IO module.
struct LayoutPage
{
    int ioId = 0;
    QString path;
    QByteArray content; // UTF-8, as the wire carries it

    // Reads content from path; the error names the file. Text that is not
    // UTF-8 is refused here, since the service would drop the whole packet.
    bool load(QString *error);
};

#endif // LAYOUTPAGE_H
