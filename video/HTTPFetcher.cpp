#include "HTTPFetcher.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <utility>

namespace {
const char TooLargeProperty[] = "bodyTooLarge";
}

HTTPFetcher::HTTPFetcher(QObject *parent)
    : QObject(parent)
{
}

QNetworkAccessManager *HTTPFetcher::manager()
{
    if (!m_manager)
        m_manager = new QNetworkAccessManager(this);
    return m_manager;
}

void HTTPFetcher::setCredentials(const QString &user, const QString &password)
{
    m_user = user;
    m_password = password;
}

void HTTPFetcher::setUrl(const QString &url)
{
    m_url = url;
}

void HTTPFetcher::setTransferTimeout(int milliseconds)
{
    m_transferTimeoutMs = milliseconds;
}

void HTTPFetcher::fetch()
{
    QNetworkRequest request(QUrl(m_url, QUrl::TolerantMode));
    if (!m_user.isEmpty() || !m_password.isEmpty()) {
        // Sent up front: the peers we poll expect credentials on the first request.
        const QByteArray token = QString(m_user + QLatin1Char(':') + m_password).toLocal8Bit().toBase64();
        request.setRawHeader("Authorization", "Basic " + token);
    }
    request.setRawHeader("Cache-Control", "no-cache");
    request.setTransferTimeout(m_transferTimeoutMs);

    m_data.clear();
    QNetworkReply *reply = manager()->get(request);
    connect(reply, &QNetworkReply::readyRead, this, &HTTPFetcher::httpReadyRead);
    connect(reply, &QNetworkReply::finished, this, &HTTPFetcher::httpFinished);
    m_replies.append(reply);
}

void HTTPFetcher::abort()
{
    // Aborting finishes a reply at once, re-entering httpFinished().
    const QList<QNetworkReply *> replies = std::exchange(m_replies, {});
    for (QNetworkReply *reply : replies)
        reply->abort();
}

void HTTPFetcher::httpReadyRead()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    if (m_data.size() + reply->bytesAvailable() > MaxBodyBytes) {
        reply->setProperty(TooLargeProperty, true);
        reply->abort();
        return;
    }
    m_data += reply->readAll();
}

void HTTPFetcher::httpFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    m_replies.removeOne(reply);
    reply->deleteLater();

    if (reply->property(TooLargeProperty).toBool())
        emit error(QStringLiteral("Response body larger than %1 bytes").arg(MaxBodyBytes));
    else if (reply->error() != QNetworkReply::NoError)
        emit error(reply->errorString());
    else
        emit fetched();
}
