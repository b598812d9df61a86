#include "PasswordHash.h"

#include <sodium.h>

namespace {

// The costs meant for a login that a person waits for: about a tenth of a
// second and 64 MiB on this class of machine.
constexpr unsigned long long OpsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
constexpr size_t MemLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;
constexpr size_t HashBytes = 32;

// Safe to call from any thread, and as often as wanted.
bool ready()
{
    return sodium_init() >= 0;
}

} // namespace

QByteArray PasswordHash::make(const QByteArray &password)
{
    char record[crypto_pwhash_STRBYTES];
    if (!ready() || crypto_pwhash_str_alg(record, password.constData(), size_t(password.size()), OpsLimit, MemLimit,
                                          crypto_pwhash_ALG_ARGON2ID13) != 0)
        return QByteArray();
    return QByteArray(record);
}

bool PasswordHash::verify(const QByteArray &record, const QByteArray &password)
{
    // A record of other costs, weaker ones above all, is not taken on trust.
    if (!ready() || !record.startsWith(crypto_pwhash_argon2id_STRPREFIX) || record.size() >= int(crypto_pwhash_STRBYTES)
        || crypto_pwhash_str_needs_rehash(record.constData(), OpsLimit, MemLimit) != 0)
        return false;
    return crypto_pwhash_str_verify(record.constData(), password.constData(), size_t(password.size())) == 0;
}

void PasswordHash::spendVerification(const QByteArray &password)
{
    unsigned char hash[HashBytes];
    const unsigned char salt[crypto_pwhash_SALTBYTES] = {};
    if (!ready())
        return;
    [[maybe_unused]] const int spent = crypto_pwhash(hash, sizeof hash, password.constData(), size_t(password.size()), salt,
                                                     OpsLimit, MemLimit, crypto_pwhash_ALG_ARGON2ID13);
}
