#include "SiteConfigReader.h"

#include "proto/svc.pb.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QStringList>

#include <cmath>
#include <limits>

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

constexpr qint64 MaxFileSize = qint64(16) << 20;

// The error of one value: where it is and what was wrong.
struct Failure
{
    QString place;
    QString what;
};

bool isPortField(const std::string &name)
{
    return name == "port" || name == "in_port" || name == "out_port";
}

bool readInteger(const QJsonValue &value, const std::string &name, qint32 *result, QString *what)
{
    const double number = value.toDouble();
    const qint64 low = isPortField(name) ? 1 : std::numeric_limits<qint32>::min();
    const qint64 high = isPortField(name) ? 65535 : std::numeric_limits<qint32>::max();
    if (!value.isDouble() || std::floor(number) != number) {
        *what = QStringLiteral("expected an integer");
        return false;
    }
    if (number < low || number > high) {
        *what = QStringLiteral("expected an integer from %1 to %2").arg(low).arg(high);
        return false;
    }
    *result = qint32(number);
    return true;
}

// Channels are written as a JSON array of numbers for convenience; the wire
// carries them as the JSON text of an array of decimal strings.
bool readChannels(const QJsonValue &value, const QString &place, std::string *text, Failure *failure)
{
    if (!value.isArray()) {
        *failure = {place, QStringLiteral("expected an array of channel numbers")};
        return false;
    }
    const QJsonArray channels = value.toArray();
    QJsonArray decimal;
    for (int i = 0; i < channels.size(); ++i) {
        const QJsonValue channel = channels.at(i);
        bool ok = channel.isDouble();
        int number = ok ? channel.toInt(-1) : channel.toString().toInt(&ok);
        if (!ok || number < 1) {
            *failure = {QStringLiteral("%1[%2]").arg(place).arg(i), QStringLiteral("expected a channel number from 1")};
            return false;
        }
        decimal.append(QString::number(number));
    }
    *text = QJsonDocument(decimal).toJson(QJsonDocument::Compact).toStdString();
    return true;
}

bool readField(const QJsonValue &value, const FieldDescriptor *field, const QString &place, Message *record, Failure *failure)
{
    const Reflection *reflection = record->GetReflection();
    if (field->full_name() == "Stream.channels") {
        std::string text;
        if (!readChannels(value, place, &text, failure))
            return false;
        reflection->SetString(record, field, text);
        return true;
    }
    QString what;
    switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32: {
        qint32 number = 0;
        if (!readInteger(value, field->name(), &number, &what))
            break;
        reflection->SetInt32(record, field, number);
        return true;
    }
    case FieldDescriptor::CPPTYPE_BOOL:
        if (!value.isBool()) {
            what = QStringLiteral("expected true or false");
            break;
        }
        reflection->SetBool(record, field, value.toBool());
        return true;
    case FieldDescriptor::CPPTYPE_STRING:
        if (!value.isString()) {
            what = QStringLiteral("expected a string");
            break;
        }
        reflection->SetString(record, field, value.toString().toStdString());
        return true;
    default:
        what = QStringLiteral("cannot be set here");
        break;
    }
    *failure = {place, what};
    return false;
}

bool readRecord(const QJsonValue &value, const QString &place, Message *record, Failure *failure)
{
    if (!value.isObject()) {
        *failure = {place, QStringLiteral("expected an object")};
        return false;
    }
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString fieldPlace = place + QLatin1Char('.') + it.key();
        const FieldDescriptor *field = record->GetDescriptor()->FindFieldByName(it.key().toStdString());
        if (!field || field->is_repeated() || field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
            *failure = {fieldPlace, QStringLiteral("unknown field")};
            return false;
        }
        if (!readField(it.value(), field, fieldPlace, record, failure))
            return false;
    }
    return true;
}

bool readList(const QJsonObject &root, const QString &name, Message *data, Failure *failure)
{
    if (!root.contains(name))
        return true;
    const QJsonValue list = root.value(name);
    if (!list.isArray()) {
        *failure = {name, QStringLiteral("expected an array")};
        return false;
    }
    const FieldDescriptor *field = data->GetDescriptor()->FindFieldByName(name.toStdString());
    const QJsonArray items = list.toArray();
    for (int i = 0; i < items.size(); ++i) {
        Message *record = data->GetReflection()->AddMessage(data, field);
        if (!readRecord(items.at(i), QStringLiteral("%1[%2]").arg(name).arg(i), record, failure))
            return false;
    }
    return true;
}

// Line and column, counted from 1, of a byte offset into the text.
QString position(const QByteArray &text, int offset)
{
    const QByteArray before = text.left(offset);
    const int line = before.count('\n') + 1;
    const int column = offset - (before.lastIndexOf('\n') + 1) + 1;
    return QStringLiteral("line %1, column %2").arg(line).arg(column);
}

} // namespace

bool SiteConfigReader::readJson(const QByteArray &json, SystemData *data, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("%1: %2").arg(position(json, parseError.offset), parseError.errorString());
        return false;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("the document must be an object with \"dvrs\", \"streams\", \"ios\" and \"doors\"");
        return false;
    }
    const QJsonObject root = document.object();
    static const QStringList lists = {QStringLiteral("dvrs"), QStringLiteral("streams"), QStringLiteral("ios"), QStringLiteral("doors")};
    for (auto it = root.begin(); it != root.end(); ++it) {
        if (!lists.contains(it.key())) {
            *error = QStringLiteral("%1: unknown field").arg(it.key());
            return false;
        }
    }
    SystemData parsed;
    Failure failure;
    for (const QString &name : lists) {
        if (!readList(root, name, &parsed, &failure)) {
            *error = QStringLiteral("%1: %2").arg(failure.place, failure.what);
            return false;
        }
    }
    data->Swap(&parsed);
    return true;
}

bool SiteConfigReader::readFile(const QString &path, SystemData *data, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > MaxFileSize) {
        *error = QStringLiteral("%1: larger than %2 bytes").arg(path).arg(MaxFileSize);
        return false;
    }
    if (readJson(file.readAll(), data, error))
        return true;
    *error = QStringLiteral("%1: %2").arg(path, *error);
    return false;
}
