#ifndef PASSWORDHASH_H
#define PASSWORDHASH_H

#include <QByteArray>

// Salted Argon2id password records, as kept in the users file, in the
// self-describing text form "$argon2id$v=19$m=...,t=...,p=...$SALT$HASH".
// Both operations cost a deliberate fraction of a second and 64 MiB: never
// call them on the service's main thread.
class PasswordHash
{
public:
    static QByteArray make(const QByteArray &password);
    // False for a wrong password and for any record that is malformed or made
    // with other costs than make() uses; compares in constant time.
    static bool verify(const QByteArray &record, const QByteArray &password);
    // Spends what a verification costs, so that an unknown name answers no
    // sooner than a known one.
    static void spendVerification(const QByteArray &password);
};

#endif // PASSWORDHASH_H
