#include "User.h"

#include <QCryptographicHash>

namespace {

constexpr int MaxNameLength = 64;
constexpr int StampBytes = 8;

} // namespace

QByteArray User::stamp() const
{
    return QCryptographicHash::hash(passwordRecord, QCryptographicHash::Sha256).left(StampBytes).toHex();
}

bool User::isValidName(const QString &name)
{
    if (name.isEmpty() || name.size() > MaxNameLength)
        return false;
    for (const QChar c : name) {
        const bool allowed = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') || c == QLatin1Char('_')
            || c == QLatin1Char('-');
        if (!allowed)
            return false;
    }
    return true;
}

QString User::roleName(Role role)
{
    return role == Role::Operator ? QStringLiteral("operator") : QStringLiteral("viewer");
}

bool User::parseRole(const QString &text, Role *role)
{
    if (text == QLatin1String("viewer"))
        *role = Role::Viewer;
    else if (text == QLatin1String("operator"))
        *role = Role::Operator;
    else
        return false;
    return true;
}
