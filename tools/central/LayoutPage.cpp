#include "LayoutPage.h"

#include <QFile>
#include <QTextCodec>

namespace {

constexpr qint64 MaxPageSize = qint64(16) << 20;

bool isUtf8(const QByteArray &bytes)
{
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

} // namespace

bool LayoutPage::load(QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > MaxPageSize) {
        *error = QStringLiteral("%1: larger than %2 bytes").arg(path).arg(MaxPageSize);
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (!isUtf8(bytes)) {
        *error = QStringLiteral("%1: not UTF-8 text").arg(path);
        return false;
    }
    content = bytes;
    return true;
}
