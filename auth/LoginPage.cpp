#include "LoginPage.h"

#include "QtHttpConstants.h"

#include <QUrl>

const QString LoginPage::LoginPath = QStringLiteral("/.tavro/login");
const QString LoginPage::LogoutPath = QStringLiteral("/.tavro/logout");

namespace {

constexpr int MaxLocationLength = 2048;

QString escaped(const QString &text)
{
    return text.toHtmlEscaped().replace(QLatin1Char('\''), QLatin1String("&#39;"));
}

} // namespace

void LoginPage::addOwnHeaders(QtHttpReply *reply, const QByteArray &type)
{
    reply->addHeader(QtHttp::CONTENT_TYPE, type);
    reply->addHeader("X-Content-Type-Options", "nosniff");
    reply->addHeader("Content-Security-Policy",
                     "default-src 'none'; form-action 'self'; frame-ancestors 'self'; base-uri 'none'");
    reply->addHeader(QtHttp::CACHE_CONTROL, "no-store");
}

void LoginPage::answerForm(QtHttpReply *reply, QtHttpReply::StatusCode code, const QString &next, const QString &message)
{
    reply->setStatusCode(code);
    addOwnHeaders(reply, "text/html; charset=utf-8");
    const QString page = QStringLiteral(
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width\"><title>TAVRO login</title></head><body>"
        "<h1>TAVRO</h1><p id=\"message\">%1</p>"
        "<form method=\"post\" action=\"%2\"><input type=\"hidden\" name=\"next\" value=\"%3\">"
        "<p><label>Name <input id=\"user\" name=\"user\" autocomplete=\"username\" required autofocus></label></p>"
        "<p><label>Password <input id=\"password\" name=\"password\" type=\"password\" "
        "autocomplete=\"current-password\" required></label></p>"
        "<p><button id=\"login\" type=\"submit\">Log in</button></p></form></body></html>");
    reply->appendRawData(page.arg(escaped(message), LoginPath, escaped(next)).toUtf8());
}

void LoginPage::answerText(QtHttpReply *reply, QtHttpReply::StatusCode code, const QByteArray &text)
{
    reply->setStatusCode(code);
    addOwnHeaders(reply, "text/plain; charset=utf-8");
    reply->appendRawData(text);
}

void LoginPage::answerRedirect(QtHttpReply *reply, const QByteArray &location)
{
    reply->setStatusCode(QtHttpReply::SeeOther);
    addOwnHeaders(reply, "text/plain; charset=utf-8");
    reply->addHeader(QtHttp::LOCATION, location);
}

QByteArray LoginPage::safeLocation(const QString &next)
{
    const QUrl url(next, QUrl::TolerantMode);
    const bool local = next.startsWith(QLatin1Char('/')) && !next.startsWith(QLatin1String("//"))
        && !next.contains(QLatin1Char('\\')) && next.size() <= MaxLocationLength && url.isValid()
        && url.scheme().isEmpty() && url.host().isEmpty();
    if (!local)
        return QByteArrayLiteral("/");
    for (const QChar c : next) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QByteArrayLiteral("/");
    }
    return url.toEncoded();
}
