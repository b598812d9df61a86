#ifndef LOGINPAGE_H
#define LOGINPAGE_H

#include "QtHttpReply.h"

#include <QByteArray>
#include <QString>

// The service's own pages under /.tavro/: the login form and the short
// answers that go with it, each with a type, no sniffing and a strict
// content policy.
class LoginPage
{
public:
    static const QString LoginPath;  // "/.tavro/login"
    static const QString LogoutPath; // "/.tavro/logout"

    // The form, posting to LoginPath, that goes on to next once logged in.
    static void answerForm(QtHttpReply *reply, QtHttpReply::StatusCode code, const QString &next,
                           const QString &message = QString());
    static void answerText(QtHttpReply *reply, QtHttpReply::StatusCode code, const QByteArray &text);
    static void answerRedirect(QtHttpReply *reply, const QByteArray &location);

    // next when it is a path on this server; "/" for anything else, so that
    // the form never sends a browser to another site.
    static QByteArray safeLocation(const QString &next);

private:
    static void addOwnHeaders(QtHttpReply *reply, const QByteArray &type);
};

#endif // LOGINPAGE_H
