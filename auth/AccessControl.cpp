#include "AccessControl.h"

#include "LoginPage.h"
#include "PasswordVerifier.h"
#include "QDaemonLog.h"
#include "QtHttpClientWrapper.h"
#include "QtHttpConstants.h"
#include "QtHttpReply.h"
#include "QtHttpRequest.h"
#include "User.h"
#include "UserStore.h"

#include <QDateTime>
#include <QHostAddress>
#include <QMessageAuthenticationCode>
#include <QPointer>
#include <QUrl>
#include <QUrlQuery>

namespace {

const QByteArray CookieName = QByteArrayLiteral("tavro_session");
const QByteArray Challenge = QByteArrayLiteral("Basic realm=\"TAVRO\"");
constexpr int UsersPollMs = 1000;
constexpr int MaxCredentialsLength = 1024;
constexpr int MaxRemembered = 256;
constexpr qint64 RememberMs = 10 * 60 * 1000;
constexpr int MaxLoggedLength = 64;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Header names arrive in whatever case the client wrote them.
QByteArray headerOf(const QtHttpRequest &request, const QByteArray &name)
{
    const QByteArray exact = request.getHeader(name);
    if (!exact.isEmpty())
        return exact;
    for (const QByteArray &header : request.getHeadersList()) {
        if (header.compare(name, Qt::CaseInsensitive) == 0)
            return request.getHeader(header);
    }
    return QByteArray();
}

// The host part of a Host header or of an origin's authority, lowercased,
// without port, brackets or a trailing dot.
QString hostName(const QByteArray &authority)
{
    QString host = QString::fromLatin1(authority).trimmed().toLower();
    if (host.startsWith(QLatin1Char('['))) {
        host = host.mid(1, host.indexOf(QLatin1Char(']')) - 1);
    } else if (host.count(QLatin1Char(':')) == 1) {
        host.truncate(host.indexOf(QLatin1Char(':')));
    }
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    return host;
}

bool isNavigation(const QtHttpRequest &request)
{
    if (request.getCommand() != QLatin1String("GET") && request.getCommand() != QLatin1String("HEAD"))
        return false;
    const QByteArray mode = headerOf(request, "Sec-Fetch-Mode");
    if (!mode.isEmpty())
        return mode == "navigate";
    return headerOf(request, QtHttp::ACCEPT).contains("text/html");
}

QString target(const QtHttpRequest &request)
{
    return QString::fromUtf8(request.getUrl().toEncoded());
}

QString shown(const QString &text)
{
    return text.left(MaxLoggedLength);
}

// The values of every cookie of that name: a browser may send two alike.
QList<QByteArray> cookies(const QtHttpRequest &request, const QByteArray &name)
{
    QList<QByteArray> values;
    for (const QByteArray &pair : headerOf(request, QtHttp::COOKIE).split(';')) {
        const QByteArray trimmed = pair.trimmed();
        if (trimmed.startsWith(name + '='))
            values.append(trimmed.mid(name.size() + 1));
    }
    return values;
}

QUrlQuery formOf(const QtHttpRequest &request)
{
    QByteArray body = request.getRawData();
    body.replace('+', ' ');
    return QUrlQuery(QString::fromUtf8(body));
}

} // namespace

class AccessControl::Gate : public QtHttpAccessGate
{
public:
    Gate(AccessControl *control, bool eventsPort)
        : m_control(control)
        , m_eventsPort(eventsPort)
    {
    }

    Decision decide(QtHttpRequest *request, QtHttpReply *reply) override
    {
        return m_control->decide(request, reply, m_eventsPort);
    }

private:
    AccessControl *m_control;
    bool m_eventsPort;
};

struct AccessControl::Verification
{
    QPointer<QtHttpRequest> request;
    QString name;
    QHostAddress client;
    QByteArray credentialKey; // empty for a form login
    QByteArray stamp;
};

AccessControl::AccessControl(const QString &directory, QObject *parent)
    : QObject(parent)
    , m_directory(directory)
    , m_users(new UserStore(directory + QStringLiteral("/users"), this))
    , m_verifier(new PasswordVerifier(this))
    , m_videoGate(new Gate(this, false))
    , m_eventsGate(new Gate(this, true))
    , m_sessions(QByteArray())
    , m_credentialKey(SessionCookie::randomBytes(SessionCookie::KeyBytes))
{
    connect(m_verifier, &PasswordVerifier::verified, this, &AccessControl::onVerified);
    connect(m_users, &UserStore::reloaded, this, &AccessControl::onUsersReloaded);
}

AccessControl::~AccessControl() = default;

QtHttpAccessGate *AccessControl::videoGate()
{
    return m_videoGate.get();
}

QtHttpAccessGate *AccessControl::eventsGate()
{
    return m_eventsGate.get();
}

void AccessControl::start()
{
    QString error;
    if (!m_users->load(&error))
        qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("Users file refused: %1; nobody may log in").arg(error);
    logState();
    ensureSessionKey();
    m_users->watch(UsersPollMs);
}

void AccessControl::setAllowedHosts(const QStringList &hosts)
{
    m_allowedHosts.clear();
    for (const QString &host : hosts)
        m_allowedHosts.append(hostName(host.toLatin1()));
}

void AccessControl::onUsersReloaded(const QString &error)
{
    if (!error.isEmpty())
        qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("Users file refused: %1; nobody may log in").arg(error);
    logState();
    ensureSessionKey();
    m_remembered.clear();
}

void AccessControl::logState()
{
    if (!m_users->isEnabled())
        qDaemonLog(QDaemonLog::Priority::Notice) << QStringLiteral("Access control is off: anyone who reaches the service may watch video and switch outputs");
    else
        qDaemonLog(QDaemonLog::Priority::Notice) << QStringLiteral("Access control is on: %1 users").arg(m_users->users().size());
}

// Made at first use; a key that cannot be kept still serves, in memory,
// until the next start.
void AccessControl::ensureSessionKey()
{
    if (m_sessionKeyLoaded || !m_users->isEnabled())
        return;
    QString error;
    QByteArray key = SessionCookie::loadKey(m_directory + QStringLiteral("/session.key"), &error);
    if (key.isEmpty()) {
        qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("Session key: %1; sessions end at the next start").arg(error);
        key = SessionCookie::randomBytes(SessionCookie::KeyBytes);
    }
    m_sessions = SessionCookie(key);
    m_sessionKeyLoaded = true;
}

QtHttpAccessGate::Decision AccessControl::decide(QtHttpRequest *request, QtHttpReply *reply, bool eventsPort)
{
    if (m_refuseAll) {
        LoginPage::answerText(reply, QtHttpReply::Forbidden, "Forbidden: no allowed network applies\n");
        return QtHttpAccessGate::Answer;
    }
    if (!isHostAllowed(*request)) {
        LoginPage::answerText(reply, QtHttpReply::MisdirectedRequest, "Unknown host name\n");
        return QtHttpAccessGate::Answer;
    }
    const bool outputChange = eventsPort && m_isOutputChange && m_isOutputChange(*request);
    if (outputChange && isCrossSite(*request)) {
        const User *user = m_users->isEnabled() ? sessionUser(*request) : nullptr;
        logOutputChange(*request, user ? user->name : QStringLiteral("unknown"), QStringLiteral("cross-site request"));
        LoginPage::answerText(reply, QtHttpReply::Forbidden, "Forbidden: cross-site request\n");
        return QtHttpAccessGate::Answer;
    }
    if (!m_users->isEnabled()) {
        if (outputChange)
            logOutputChange(*request, QStringLiteral("anonymous"), QString());
        return QtHttpAccessGate::Pass;
    }

    // The login and logout pages are for everyone; the service's other own
    // pages, like every other route, for users only.
    const QString path = request->getUrl().path(QUrl::FullyDecoded);
    if (path == LoginPage::LoginPath || path == LoginPage::LogoutPath)
        return serveOwnPage(request, reply, path);

    const User *user = nullptr;
    const QtHttpAccessGate::Decision decision = authenticate(request, reply, &user);
    if (decision != QtHttpAccessGate::Pass)
        return decision;
    if (outputChange && user->role != User::Role::Operator) {
        logOutputChange(*request, user->name, QStringLiteral("not an operator"));
        LoginPage::answerText(reply, QtHttpReply::Forbidden, "Forbidden: only an operator may switch outputs\n");
        return QtHttpAccessGate::Answer;
    }
    if (outputChange)
        logOutputChange(*request, user->name, QString());
    return QtHttpAccessGate::Pass;
}

QtHttpAccessGate::Decision AccessControl::serveOwnPage(QtHttpRequest *request, QtHttpReply *reply, const QString &path)
{
    if (path == LoginPage::LoginPath)
        return login(request, reply);
    if (request->getCommand() == QLatin1String("POST"))
        return logout(request, reply);
    LoginPage::answerText(reply, QtHttpReply::NotFound, "Not found\n");
    return QtHttpAccessGate::Answer;
}

QtHttpAccessGate::Decision AccessControl::login(QtHttpRequest *request, QtHttpReply *reply)
{
    if (request->getCommand() != QLatin1String("POST")) {
        const QString next = QUrlQuery(request->getUrl()).queryItemValue(QStringLiteral("next"), QUrl::FullyDecoded);
        LoginPage::answerForm(reply, QtHttpReply::Ok, next.isEmpty() ? QStringLiteral("/") : next);
        return QtHttpAccessGate::Answer;
    }
    if (isCrossSite(*request)) {
        LoginPage::answerText(reply, QtHttpReply::Forbidden, "Forbidden: cross-site request\n");
        return QtHttpAccessGate::Answer;
    }
    const QUrlQuery form = formOf(*request);
    const QString name = form.queryItemValue(QStringLiteral("user"), QUrl::FullyDecoded);
    const QString password = form.queryItemValue(QStringLiteral("password"), QUrl::FullyDecoded);
    const QString next = form.queryItemValue(QStringLiteral("next"), QUrl::FullyDecoded);

    const auto verdict = m_verdicts.constFind(request);
    if (verdict == m_verdicts.constEnd()) {
        if (name.isEmpty() || password.isEmpty()) {
            LoginPage::answerForm(reply, QtHttpReply::Unauthorized, next, QStringLiteral("Wrong name or password."));
            return QtHttpAccessGate::Answer;
        }
        return checkPassword(request, reply, name, password.toUtf8(), true);
    }
    if (verdict->isEmpty()) {
        LoginPage::answerForm(reply, QtHttpReply::Unauthorized, next, QStringLiteral("Wrong name or password."));
        return QtHttpAccessGate::Answer;
    }
    QByteArray cookie = CookieName + '=' + m_sessions.issue(name, *verdict, nowMs() / 1000) + "; Path=/; Max-Age="
        + QByteArray::number(SessionCookie::LifetimeSecs) + "; HttpOnly; SameSite=Strict";
    if (request->isSecure())
        cookie += "; Secure";
    LoginPage::answerRedirect(reply, LoginPage::safeLocation(next));
    reply->addHeader(QtHttp::SET_COOKIE, cookie);
    return QtHttpAccessGate::Answer;
}

QtHttpAccessGate::Decision AccessControl::logout(QtHttpRequest *request, QtHttpReply *reply)
{
    const qint64 now = nowMs() / 1000;
    for (const QByteArray &value : cookies(*request, CookieName)) {
        const std::optional<SessionCookie::Session> session = m_sessions.parse(value, now);
        if (session)
            m_revoked.revoke(*session, now);
    }
    LoginPage::answerRedirect(reply, LoginPage::LoginPath.toLatin1());
    reply->addHeader(QtHttp::SET_COOKIE, CookieName + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict");
    return QtHttpAccessGate::Answer;
}

// A session cookie, else Basic credentials (remembered for a while once
// verified, so a player's every request costs no key derivation), else a
// login form for a browser's navigation and a challenge for anything else.
QtHttpAccessGate::Decision AccessControl::authenticate(QtHttpRequest *request, QtHttpReply *reply, const User **caller)
{
    *caller = sessionUser(*request);
    if (*caller)
        return QtHttpAccessGate::Pass;

    const QByteArray authorization = headerOf(*request, QtHttp::AUTHORIZATION).trimmed();
    if (authorization.left(6).compare("Basic ", Qt::CaseInsensitive) == 0 && authorization.size() <= MaxCredentialsLength) {
        const QByteArray credentials = QByteArray::fromBase64(authorization.mid(6).trimmed());
        const int colon = credentials.indexOf(':');
        const QString name = QString::fromUtf8(credentials.left(qMax(colon, 0)));
        const QByteArray password = colon < 0 ? QByteArray() : credentials.mid(colon + 1);
        const QByteArray key = credentialKey(name, password);
        const auto remembered = m_remembered.constFind(key);
        const User *user = m_users->find(name);
        if (remembered != m_remembered.constEnd() && user && remembered->stamp == user->stamp()
            && remembered->expiresMs > nowMs()) {
            *caller = user;
            return QtHttpAccessGate::Pass;
        }
        const bool verified = m_verdicts.contains(request);
        if (!verified && colon > 0)
            return checkPassword(request, reply, name, password, false);
    }

    if (isNavigation(*request)) {
        LoginPage::answerForm(reply, QtHttpReply::Unauthorized, target(*request));
        return QtHttpAccessGate::Answer;
    }
    LoginPage::answerText(reply, QtHttpReply::Unauthorized, "Authentication required\n");
    reply->addHeader("WWW-Authenticate", Challenge);
    return QtHttpAccessGate::Answer;
}

QtHttpAccessGate::Decision AccessControl::checkPassword(QtHttpRequest *request, QtHttpReply *reply, const QString &name,
                                                        const QByteArray &password, bool form)
{
    const QHostAddress client = request->getClientAddress();
    if (m_throttle.isBlocked(client, nowMs())) {
        LoginPage::answerText(reply, QtHttpReply::TooManyRequests, "Too many failed logins: try again later\n");
        reply->addHeader("Retry-After", QByteArray::number(LoginThrottle::BlockMs / 1000));
        return QtHttpAccessGate::Answer;
    }
    const User *user = m_users->find(name);
    const quint64 ticket = m_nextTicket++;
    if (!m_verifier->verify(ticket, user ? user->passwordRecord : QByteArray(), password)) {
        LoginPage::answerText(reply, QtHttpReply::ServiceUnavailable, "Busy: try again in a moment\n");
        reply->addHeader("Retry-After", "1");
        return QtHttpAccessGate::Answer;
    }
    Verification verification;
    verification.request = request;
    verification.name = name;
    verification.client = client;
    verification.credentialKey = form ? QByteArray() : credentialKey(name, password);
    verification.stamp = user ? user->stamp() : QByteArray();
    m_verifications.insert(ticket, verification);
    return QtHttpAccessGate::Hold;
}

void AccessControl::onVerified(quint64 ticket, bool ok)
{
    const Verification verification = m_verifications.take(ticket);
    if (ok) {
        m_throttle.recordSuccess(verification.client);
        if (!verification.credentialKey.isEmpty())
            remember(verification.credentialKey, verification.name, verification.stamp);
    } else {
        const QString client = verification.client.toString();
        qDaemonLog(QDaemonLog::Priority::Warning) << QStringLiteral("Failed login for %1 from %2").arg(shown(verification.name), client);
        if (m_throttle.recordFailure(verification.client, nowMs()))
            qDaemonLog(QDaemonLog::Priority::Warning) << QStringLiteral("Too many failed logins from %1: refused for %2 minutes").arg(client).arg(LoginThrottle::BlockMs / 60000);
    }
    QtHttpRequest *request = verification.request;
    if (!request)
        return;
    m_verdicts.insert(request, ok ? verification.stamp : QByteArray());
    request->getClientHandle()->resumeHeldRequest();
    m_verdicts.remove(request);
}

const User *AccessControl::sessionUser(const QtHttpRequest &request) const
{
    const qint64 now = nowMs() / 1000;
    for (const QByteArray &value : cookies(request, CookieName)) {
        const std::optional<SessionCookie::Session> session = m_sessions.parse(value, now);
        if (!session || m_revoked.isRevoked(*session))
            continue;
        const User *user = m_users->find(session->user);
        if (user && user->stamp() == session->stamp)
            return user;
    }
    return nullptr;
}

bool AccessControl::isHostAllowed(const QtHttpRequest &request) const
{
    if (m_allowedHosts.isEmpty())
        return true;
    const QString host = hostName(headerOf(request, QtHttp::HOST));
    return !QHostAddress(host).isNull() || m_allowedHosts.contains(host);
}

// A browser says so itself, or names the page's origin: a page of another
// host may not act through the user's browser, whatever it authenticated
// with. "same-site" counts too: it covers other hosts of the same domain,
// and no page of this service is served from another origin than the one
// it acts on.
bool AccessControl::isCrossSite(const QtHttpRequest &request) const
{
    const QByteArray site = headerOf(request, "Sec-Fetch-Site");
    if (site == "cross-site" || site == "same-site")
        return true;
    const QByteArray origin = headerOf(request, "Origin");
    if (origin.isEmpty())
        return false;
    const QUrl url(QString::fromLatin1(origin));
    return origin == "null" || hostName(url.host().toLatin1()) != hostName(headerOf(request, QtHttp::HOST));
}

QByteArray AccessControl::credentialKey(const QString &name, const QByteArray &password) const
{
    return QMessageAuthenticationCode::hash(name.toUtf8() + '\0' + password, m_credentialKey, QCryptographicHash::Sha256);
}

void AccessControl::remember(const QByteArray &key, const QString &name, const QByteArray &stamp)
{
    if (m_remembered.size() >= MaxRemembered)
        m_remembered.clear();
    m_remembered.insert(key, Remembered{name, stamp, nowMs() + RememberMs});
}

void AccessControl::logOutputChange(const QtHttpRequest &request, const QString &who, const QString &refusal) const
{
    const QUrl url = request.getUrl();
    const QString outputs = QUrlQuery(url).queryItemValue(QStringLiteral("outputs"), QUrl::FullyDecoded);
    const QString line = QStringLiteral("%1 by %2 from %3: module %4, outputs %5")
                             .arg(refusal.isEmpty() ? QStringLiteral("Output change") : QStringLiteral("Refused output change"),
                                  shown(who), request.getClientAddress().toString(),
                                  shown(url.path(QUrl::FullyDecoded).mid(1)), shown(outputs));
    if (refusal.isEmpty())
        qDaemonLog() << line;
    else
        qDaemonLog(QDaemonLog::Priority::Warning) << line + QStringLiteral(" (%1)").arg(refusal);
}
