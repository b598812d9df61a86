#ifndef PASSWORDHASH_H
#define PASSWORDHASH_H

#include <QByteArray>

// Salted PBKDF2-HMAC-SHA256 password records, as kept in the users file:
// "pbkdf2-sha256$ITERATIONS$SALT$HASH" with salt and hash in base64.
// Both operations cost a deliberate fraction of a second: never call them
// on the service's main thread.
class PasswordHash
{
public:
    static constexpr int Iterations = 600000;

    static QByteArray make(const QByteArray &password);
    // False for a wrong password and for any record that is malformed or
    // weaker than Iterations; compares in constant time.
    static bool verify(const QByteArray &record, const QByteArray &password);
    // Spends what a verification costs, so that an unknown name answers no
    // sooner than a known one.
    static void spendVerification(const QByteArray &password);
};

#endif // PASSWORDHASH_H
