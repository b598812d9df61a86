#ifndef HTTPFETCHER_H
#define HTTPFETCHER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// A reusable HTTP GET client: configured once with a URL and optional Basic
// credentials, then asked to fetch again and again. Every fetch ends in
// exactly one fetched() or error(msg). Owners issue the next fetch only after
// the previous one has ended, since overlapping fetches share data().
class HTTPFetcher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HTTPFetcher)

public:
    // A peer that sends nothing for this long ends the fetch in error, so a
    // host that accepts connections and never answers cannot hold a poller.
    static constexpr int DefaultTransferTimeoutMs = 5000;
    // A body larger than this ends the fetch in error instead of growing
    // without limit.
    static constexpr qint64 MaxBodyBytes = 16 * 1024 * 1024;

    explicit HTTPFetcher(QObject *parent = nullptr);

    void setCredentials(const QString &user, const QString &password);
    void setUrl(const QString &url);
    void setTransferTimeout(int milliseconds);

    void fetch();
    void abort();

    const QByteArray &data() const { return m_data; }
    bool isFetching() const { return !m_replies.isEmpty(); }

signals:
    void fetched();
    void error(QString msg);

private slots:
    void httpReadyRead();
    void httpFinished();

private:
    QNetworkAccessManager *manager();

    QString m_user;
    QString m_password;
    QString m_url;
    // A child, deleted with its replies only once this object is disconnected.
    // Made on the first fetch: a manager is costly, and most fetchers of a
    // site (channels nobody watches) never fetch at all.
    QNetworkAccessManager *m_manager = nullptr;
    QByteArray m_data;
    QList<QNetworkReply *> m_replies;
    int m_transferTimeoutMs = DefaultTransferTimeoutMs;
};

#endif // HTTPFETCHER_H
