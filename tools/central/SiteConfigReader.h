#ifndef SITECONFIGREADER_H
#define SITECONFIGREADER_H

#include <QByteArray>
#include <QString>

class SystemData;

// Reads a site configuration written by hand as JSON into the SystemData
// that Central sends. The document is an object with the arrays "dvrs",
// "streams", "ios" and "doors" (each optional); their objects carry the
// fields of the wire records under the same names. A stream's "channels"
// is an array of channel numbers (numbers or decimal strings). Unknown
// names, values of the wrong type and numbers out of range are refused
// with the place they were found at, e.g. "streams[0].out_port".
class SiteConfigReader
{
public:
    // The error starts with the file name.
    static bool readFile(const QString &path, SystemData *data, QString *error);
    static bool readJson(const QByteArray &json, SystemData *data, QString *error);

private:
    SiteConfigReader() = default;
};

#endif // SITECONFIGREADER_H
