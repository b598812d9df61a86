#ifndef ACCESSCONTROL_H
#define ACCESSCONTROL_H

#include "LoginThrottle.h"
#include "QtHttpAccessGate.h"
#include "SessionCookie.h"
#include "SessionRevocations.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class PasswordVerifier;
class QtHttpReply;
class QtHttpRequest;
class UserStore;
struct User;

// The one place that decides who may do what on the service's HTTP ports.
// The video ports and the events port each consult their gate with every
// request; the gates share the users, the sessions and the failed-login
// count. With no user at all, every request that reaches a port passes, as
// always, except those refused for the site's host names, for networks that
// cannot apply, or for a cross-site output change.
class AccessControl : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(AccessControl)

public:
    // Whether a request to the events port changes outputs.
    using OutputChangeTest = std::function<bool(const QtHttpRequest &)>;

    // Keeps its users file and session key in directory.
    explicit AccessControl(const QString &directory, QObject *parent = nullptr);
    ~AccessControl() override;

    // Loads the users, says in the log whether access control is on, and
    // from then on follows every change of the users file.
    void start();

    void setOutputChangeTest(const OutputChangeTest &test) { m_isOutputChange = test; }
    // Names the site reaches the service by; empty: any.
    void setAllowedHosts(const QStringList &hosts);
    // Every request is refused while set: a security setting could not apply.
    void setRefuseAll(bool refuse) { m_refuseAll = refuse; }

    QtHttpAccessGate *videoGate();
    QtHttpAccessGate *eventsGate();

private:
    class Gate;
    struct Verification;

    QtHttpAccessGate::Decision decide(QtHttpRequest *request, QtHttpReply *reply, bool eventsPort);
    QtHttpAccessGate::Decision serveOwnPage(QtHttpRequest *request, QtHttpReply *reply, const QString &path);
    QtHttpAccessGate::Decision login(QtHttpRequest *request, QtHttpReply *reply);
    QtHttpAccessGate::Decision logout(QtHttpRequest *request, QtHttpReply *reply);
    QtHttpAccessGate::Decision authenticate(QtHttpRequest *request, QtHttpReply *reply, const User **caller);
    QtHttpAccessGate::Decision checkPassword(QtHttpRequest *request, QtHttpReply *reply, const QString &name,
                                             const QByteArray &password, bool form);
    void onVerified(quint64 ticket, bool ok);
    void onUsersReloaded(const QString &error);
    void logState();
    void ensureSessionKey();

    const User *sessionUser(const QtHttpRequest &request) const;
    bool isHostAllowed(const QtHttpRequest &request) const;
    bool isCrossSite(const QtHttpRequest &request) const;
    QByteArray credentialKey(const QString &name, const QByteArray &password) const;
    void remember(const QByteArray &key, const QString &name, const QByteArray &stamp);
    void logOutputChange(const QtHttpRequest &request, const QString &who, const QString &refusal) const;

    QString m_directory;
    UserStore *m_users;
    PasswordVerifier *m_verifier;
    std::unique_ptr<Gate> m_videoGate;
    std::unique_ptr<Gate> m_eventsGate;
    OutputChangeTest m_isOutputChange;
    QStringList m_allowedHosts;
    bool m_refuseAll = false;
    SessionCookie m_sessions;
    bool m_sessionKeyLoaded = false;
    LoginThrottle m_throttle;
    quint64 m_nextTicket = 1;
    QHash<quint64, Verification> m_verifications;
    // Given to a held request on its resumption: the user's stamp when the
    // password was right, empty when it was wrong.
    QHash<const QtHttpRequest *, QByteArray> m_verdicts;
    SessionRevocations m_revoked;
    struct Remembered
    {
        QString name;
        QByteArray stamp;
        qint64 expiresMs;
    };
    QHash<QByteArray, Remembered> m_remembered; // keyed credentials verified lately
    QByteArray m_credentialKey;
};

#endif // ACCESSCONTROL_H
