#include "AuthTests.h"

#include "AccessControl.h"
#include "HttpTestClient.h"
#include "LoginPage.h"
#include "LoginThrottle.h"
#include "PasswordHash.h"
#include "PasswordVerifier.h"
#include "QtHttpServer.h"
#include "SessionCookie.h"
#include "SessionRevocations.h"
#include "User.h"
#include "UserStore.h"

#include <QFile>
#include <QSslKey>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sodium.h>

// The pieces of access control on their own: hashes, users file, session
// cookies, the failed-login count, redirect targets and the verifier thread.
class AuthUnitTest : public QObject
{
    Q_OBJECT

private slots:
    void passwordRecords_data();
    void passwordRecords();
    void userNames_data();
    void userNames();
    void usersFile();
    void sessionCookies_data();
    void sessionCookies();
    void throttle();
    void throttleTableIsBounded();
    void revokedSessionsStayRevoked();
    void redirectTargets_data();
    void redirectTargets();
    void verifierKeepsTheEventLoopTurning();
    void sessionCookieIsSecureOverTls();
};

void AuthUnitTest::passwordRecords_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("ok");
    const QByteArray good = PasswordHash::make("s3cret");
    // Right password, weaker costs than the service makes.
    char weak[crypto_pwhash_STRBYTES];
    QCOMPARE(crypto_pwhash_str_alg(weak, "s3cret", 6, crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN,
                                   crypto_pwhash_ALG_ARGON2ID13), 0);
    QTest::newRow("right") << good << QByteArray("s3cret") << true;
    QTest::newRow("wrong") << good << QByteArray("s3cret ") << false;
    QTest::newRow("empty password") << good << QByteArray() << false;
    QTest::newRow("weaker costs") << QByteArray(weak) << QByteArray("s3cret") << false;
    QTest::newRow("malformed") << QByteArray("$argon2id$v=19$m=65536,t=2,p=1$$") << QByteArray() << false;
    QTest::newRow("other scheme") << QByteArray("plain$s3cret") << QByteArray("s3cret") << false;
}

void AuthUnitTest::passwordRecords()
{
    QFETCH(QByteArray, record);
    QFETCH(QByteArray, password);
    QFETCH(bool, ok);
    QCOMPARE(PasswordHash::verify(record, password), ok);
}

void AuthUnitTest::userNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << "guard.1_night-shift" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("space") << "a b" << false;
    QTest::newRow("colon") << "a:b" << false;
    QTest::newRow("not ASCII") << QString::fromUtf8("jürgen") << false;
    QTest::newRow("64 long") << QString(64, QLatin1Char('a')) << true;
    QTest::newRow("65 long") << QString(65, QLatin1Char('a')) << false;
}

void AuthUnitTest::userNames()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(User::isValidName(name), valid);
}

// Written for its owner alone, read back alike; absent or empty is "off",
// and a damaged file keeps access control on with nobody to log in.
void AuthUnitTest::usersFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("users"));
    UserStore store(path);
    QVERIFY(store.load());
    QVERIFY(!store.isEnabled());

    User alice{QStringLiteral("alice"), User::Role::Operator, PasswordHash::make("a")};
    store.setUser(alice);
    QVERIFY(store.save());
    const QFile::Permissions groupAndOthers(0x00ff);
    QCOMPARE(QFile::permissions(path) & ~groupAndOthers & ~QFile::Permissions(0x0f00), QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(QFile::permissions(path) & groupAndOthers, QFile::Permissions());

    UserStore again(path);
    QVERIFY(again.load());
    QVERIFY(again.isEnabled());
    QCOMPARE(again.users().size(), 1);
    QCOMPARE(again.find(QStringLiteral("alice"))->role, User::Role::Operator);
    QCOMPARE(again.find(QStringLiteral("alice"))->stamp(), alice.stamp());

    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    file.write("mallory admin x\n");
    file.close();
    QString error;
    QVERIFY(!again.load(&error));
    QVERIFY(error.contains(QStringLiteral("line 2")));
    QVERIFY(again.isEnabled());
    QVERIFY(again.users().isEmpty());
}

void AuthUnitTest::sessionCookies_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<bool>("valid");
    const QByteArray key(SessionCookie::KeyBytes, 'k');
    const SessionCookie cookies(key);
    const qint64 t = 1800000000;
    const QByteArray good = cookies.issue(QStringLiteral("alice"), "stamp1", t);
    QByteArray tampered = good;
    tampered[2] = tampered[2] == 'A' ? 'B' : 'A';
    const QByteArray otherKey = SessionCookie(QByteArray(SessionCookie::KeyBytes, 'o')).issue(QStringLiteral("alice"), "stamp1", t);
    QTest::newRow("fresh") << good << t << true;
    QTest::newRow("almost 12 h") << good << t + SessionCookie::LifetimeSecs - 1 << true;
    QTest::newRow("12 h") << good << t + SessionCookie::LifetimeSecs << false;
    QTest::newRow("from the future") << good << t - 1 << false;
    QTest::newRow("payload changed") << tampered << t << false;
    QTest::newRow("signed by another key") << otherKey << t << false;
    QTest::newRow("no signature") << good.left(good.indexOf('.')) << t << false;
    QTest::newRow("huge") << QByteArray(100000, 'A') << t << false;
}

void AuthUnitTest::sessionCookies()
{
    QFETCH(QByteArray, value);
    QFETCH(qint64, now);
    QFETCH(bool, valid);
    const std::optional<SessionCookie::Session> session = SessionCookie(QByteArray(SessionCookie::KeyBytes, 'k')).parse(value, now);
    QCOMPARE(session.has_value(), valid);
    if (valid) {
        QCOMPARE(session->user, QStringLiteral("alice"));
        QCOMPARE(session->stamp, QByteArray("stamp1"));
    }
}

// Five failures within five minutes block for five minutes, reported once;
// failures spread wider apart never do; a success forgets them.
void AuthUnitTest::throttle()
{
    LoginThrottle throttle;
    const QHostAddress a(QStringLiteral("192.0.2.1"));
    const QHostAddress b(QStringLiteral("192.0.2.2"));
    qint64 t = 1000;
    for (int i = 1; i < LoginThrottle::MaxFailures; ++i)
        QVERIFY(!throttle.recordFailure(a, t += 1000));
    QVERIFY(!throttle.isBlocked(a, t));
    QVERIFY(throttle.recordFailure(a, t += 1000));
    QVERIFY(throttle.isBlocked(a, t + LoginThrottle::BlockMs - 1));
    QVERIFY(!throttle.recordFailure(a, t + 1));
    QVERIFY(!throttle.isBlocked(b, t));
    QVERIFY(!throttle.isBlocked(a, t + LoginThrottle::BlockMs));

    for (int i = 0; i < 3 * LoginThrottle::MaxFailures; ++i)
        QVERIFY(!throttle.recordFailure(b, t += LoginThrottle::WindowMs / 2));

    for (int i = 1; i < LoginThrottle::MaxFailures; ++i)
        throttle.recordFailure(b, ++t);
    throttle.recordSuccess(b);
    QVERIFY(!throttle.recordFailure(b, ++t));

    // One machine holds a whole IPv6 /64.
    const QHostAddress v6(QStringLiteral("2001:db8::1"));
    for (int i = 1; i < LoginThrottle::MaxFailures; ++i)
        throttle.recordFailure(QHostAddress(QStringLiteral("2001:db8::%1").arg(i + 1)), ++t);
    QVERIFY(throttle.recordFailure(v6, ++t));
}

void AuthUnitTest::throttleTableIsBounded()
{
    LoginThrottle throttle;
    for (quint32 i = 0; i < LoginThrottle::MaxClients + 100; ++i)
        throttle.recordFailure(QHostAddress(0x0a000000 + i), i);
    QVERIFY(throttle.size() <= LoginThrottle::MaxClients);
}

// However many sessions are logged out, none comes back: past the bound,
// the sessions issued up to the oldest one logged out all end.
void AuthUnitTest::revokedSessionsStayRevoked()
{
    SessionRevocations revoked(2);
    const auto session = [](const char *nonce, qint64 issued) {
        return SessionCookie::Session{QStringLiteral("alice"), "stamp", nonce, issued};
    };
    const qint64 now = 1000;
    const auto older = session("older", 50);
    const QList<SessionCookie::Session> loggedOut = {session("a", 100), session("b", 200), session("c", 300)};
    revoked.revoke(loggedOut[0], now);
    revoked.revoke(loggedOut[1], now);
    QVERIFY(!revoked.isRevoked(older));
    revoked.revoke(loggedOut[2], now);
    QVERIFY(revoked.size() <= 2);
    for (const SessionCookie::Session &s : loggedOut)
        QVERIFY(revoked.isRevoked(s));
    QVERIFY(revoked.isRevoked(older)); // ended with the oldest logged out
    QVERIFY(!revoked.isRevoked(session("new", 400)));

    // Entries past their sessions' lifetime make room first, ending nothing.
    SessionRevocations expiring(1);
    expiring.revoke(session("old", 100), now);
    expiring.revoke(session("next", 500), 100 + SessionCookie::LifetimeSecs);
    QVERIFY(!expiring.isRevoked(session("other", 100)));
    QVERIFY(expiring.isRevoked(session("next", 500)));
}

void AuthUnitTest::redirectTargets_data()
{
    QTest::addColumn<QString>("next");
    QTest::addColumn<QByteArray>("location");
    QTest::newRow("path and query") << "/Demo/Gate.html?video=8090" << QByteArray("/Demo/Gate.html?video=8090");
    QTest::newRow("space") << "/My DVR/" << QByteArray("/My%20DVR/");
    QTest::newRow("empty") << "" << QByteArray("/");
    QTest::newRow("other site") << "http://evil.example/" << QByteArray("/");
    QTest::newRow("scheme-relative") << "//evil.example/" << QByteArray("/");
    QTest::newRow("backslash") << "/\\evil.example/" << QByteArray("/");
    QTest::newRow("header injection") << "/a\r\nSet-Cookie: x=1" << QByteArray("/");
    QTest::newRow("relative") << "Demo" << QByteArray("/");
}

void AuthUnitTest::redirectTargets()
{
    QFETCH(QString, next);
    QFETCH(QByteArray, location);
    QCOMPARE(LoginPage::safeLocation(next), location);
}

// The derivation runs elsewhere: a timer of this thread keeps firing while
// checks are under way, and checks beyond the bound are refused at once.
void AuthUnitTest::verifierKeepsTheEventLoopTurning()
{
    const QByteArray record = PasswordHash::make("right");
    PasswordVerifier verifier;
    QSignalSpy verified(&verifier, &PasswordVerifier::verified);
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(5);

    QVERIFY(verifier.verify(1, record, "right"));
    QVERIFY(verifier.verify(2, record, "wrong"));
    QVERIFY(verifier.verify(3, QByteArray(), "unknown user"));
    for (int i = 3; i < PasswordVerifier::MaxPending; ++i)
        QVERIFY(verifier.verify(100 + i, QByteArray(), "filler"));
    QVERIFY(!verifier.verify(99, record, "one too many"));
    QTRY_COMPARE_WITH_TIMEOUT(verified.size(), PasswordVerifier::MaxPending, 60000);
    QVERIFY(ticks > 10);

    QHash<quint64, bool> results;
    for (const QList<QVariant> &arguments : verified)
        results.insert(arguments.at(0).toULongLong(), arguments.at(1).toBool());
    QCOMPARE(results.value(1), true);
    QCOMPARE(results.value(2), false);
    QCOMPARE(results.value(3), false);
    QVERIFY(!results.contains(99));
    QCOMPARE(verifier.pending(), 0);
}

void AuthUnitTest::sessionCookieIsSecureOverTls()
{
    QTemporaryDir dir;
    UserStore users(dir.filePath(QStringLiteral("users")));
    users.setUser({QStringLiteral("alice"), User::Role::Viewer, PasswordHash::make("pw")});
    QVERIFY(users.save());
    AccessControl access(dir.path());
    access.start();

    QFile key(QStringLiteral(TEST_KEY));
    QFile certificate(QStringLiteral(TEST_CERTIFICATE));
    QVERIFY(key.open(QIODevice::ReadOnly) && certificate.open(QIODevice::ReadOnly));
    QtHttpServer server;
    server.setUseSecure();
    server.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
    server.setCertificates(QSslCertificate::fromData(certificate.readAll()));
    server.setAccessGate(access.eventsGate());
    server.start();

    HttpTestClient http(server.getServerPort());
    http.setTls(true);
    const HttpResponse response = http.request("POST", "/.tavro/login", {{"Content-Type", "application/x-www-form-urlencoded"}},
                                               "user=alice&password=pw");
    QCOMPARE(response.status, 303);
    QVERIFY2(response.header("Set-Cookie").endsWith("; Secure"), response.header("Set-Cookie").constData());
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("session.key"))));
}

int runAuthUnitTest(int argc, char **argv)
{
    AuthUnitTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "AuthUnitTest.moc"
