#include "StatusRoutes.h"

#include "MetricsText.h"
#include "QtHttpReply.h"
#include "QtHttpRequest.h"
#include "StatusJson.h"
#include "StatusPage.h"

#include <QUrl>

const QString StatusRoutes::PagePath = QStringLiteral("/.tavro/status");
const QString StatusRoutes::JsonPath = QStringLiteral("/.tavro/status.json");
const QString StatusRoutes::MetricsPath = QStringLiteral("/.tavro/metrics");

namespace {

// Chunked, so that the body ends where the text does: a metrics reader
// takes a stray line end for a metric of its own.
void answer(QtHttpReply *reply, const QByteArray &type, const QByteArray &policy, const QByteArray &body)
{
    reply->setStatusCode(QtHttpReply::Ok);
    reply->addHeader("Content-Type", type);
    reply->addHeader("X-Content-Type-Options", "nosniff");
    reply->addHeader("Content-Security-Policy", policy);
    reply->addHeader("Cache-Control", "no-store");
    reply->setUseChunked(true);
    emit reply->requestSendHeaders();
    reply->appendRawData(body);
    emit reply->requestSendData();
}

const QByteArray NothingPolicy = QByteArrayLiteral("default-src 'none'; frame-ancestors 'none'");

// The service keeps the whole of this prefix to itself.
const QString OwnPrefix = QStringLiteral("/.tavro/");

void answerNotFound(QtHttpReply *reply)
{
    reply->setStatusCode(QtHttpReply::NotFound);
    reply->addHeader("Content-Type", "text/plain; charset=utf-8");
    reply->addHeader("X-Content-Type-Options", "nosniff");
    reply->appendRawData("Not found\n");
}

} // namespace

bool StatusRoutes::serve(const QtHttpRequest &request, QtHttpReply *reply) const
{
    const QString path = request.getUrl().path(QUrl::FullyDecoded);
    if (path == PagePath)
        answer(reply, "text/html; charset=utf-8", StatusPage::contentSecurityPolicy(), StatusPage::render(m_collect()));
    else if (path == JsonPath)
        answer(reply, "application/json", NothingPolicy, StatusJson::render(m_collect()));
    else if (path == MetricsPath)
        answer(reply, MetricsText::ContentType, NothingPolicy, MetricsText::render(m_collect()));
    else if (path.startsWith(OwnPrefix))
        answerNotFound(reply);
    else
        return false;
    return true;
}
