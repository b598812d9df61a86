#ifndef OUTPUTSREQUEST_H
#define OUTPUTSREQUEST_H

#include <QMap>
#include <QString>

#include <optional>

// The value of an output-change request: pairs "output,value" joined by "|",
// for example "1,1|3,0". A later pair for the same output wins.
struct OutputsRequest
{
    // Output number -> value, or nothing when any pair is malformed.
    static std::optional<QMap<int, int>> parse(const QString &value);
};

#endif // OUTPUTSREQUEST_H
