#ifndef CURVEKEYPAIR_H
#define CURVEKEYPAIR_H

#include <QByteArray>
#include <QString>

// A long-term key pair of the encrypted link, both keys as 40 characters of
// Z85 text. Kept in a file of two lines, "public=KEY" and "secret=KEY",
// readable by its owner only.
struct CurveKeyPair
{
    QByteArray publicKey;
    QByteArray secretKey;

    static constexpr int KeyLength = 40;

    // Whether the library was built with the encrypted mechanism.
    static bool isAvailable();
    // 40 characters of Z85 text that decode to a 32-byte key.
    static bool isKey(const QByteArray &z85);

    static CurveKeyPair generate();
    // Reads the pair; an error names the file and what is wrong with it.
    static bool read(const QString &path, CurveKeyPair *keys, QString *error);
    // Writes the pair atomically, with mode 0600.
    static bool write(const QString &path, const CurveKeyPair &keys, QString *error);
    // Reads the pair, or makes a new one and writes it when there is no file.
    static bool readOrCreate(const QString &path, CurveKeyPair *keys, QString *error);
};

#endif // CURVEKEYPAIR_H
