#include "CertificateCommand.h"

#include "QDaemonApplication.h"
#include "QtHttpCertificate.h"
#include "Settings.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

#include <cstdio>
#include <sys/stat.h>

const char CertificateCommand::CertificateFile[] = "tls-certificate.pem";
const char CertificateCommand::KeyFile[] = "tls-key.pem";

namespace {

void print(FILE *stream, const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stream);
}

// Written whole or not at all; the mode is set before any byte of a secret
// is in the file.
bool writeFile(const QString &path, const QByteArray &bytes, mode_t mode)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || ::fchmod(file.handle(), mode) != 0) {
        print(stderr, QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        print(stderr, QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

} // namespace

QDaemonCommand CertificateCommand::command()
{
    return {QStringLiteral("make-certificate"), QStringLiteral("HOST..."),
            QStringLiteral("write a self-signed TLS certificate for the hosts and serve HTTPS with it"), &CertificateCommand::run};
}

int CertificateCommand::run(const QStringList &hosts)
{
    if (hosts.isEmpty() || hosts.first().startsWith(QLatin1Char('-'))) {
        print(stderr, QStringLiteral("Usage: --make-certificate HOST... (names or addresses the browsers use)"));
        return 2;
    }
    const QDir dir(QDaemonApplication::dataDirectory());
    const QString certificatePath = dir.filePath(QLatin1String(CertificateFile));
    const QString keyPath = dir.filePath(QLatin1String(KeyFile));
    for (const QString &path : {certificatePath, keyPath}) {
        if (QFileInfo::exists(path)) {
            print(stderr, QStringLiteral("%1 exists; remove it first to make a new pair").arg(path));
            return 1;
        }
    }
    QByteArray certificate;
    QByteArray key;
    QString error;
    if (!QtHttpCertificate::makeSelfSigned(hosts, ValidDays, &certificate, &key, &error)) {
        print(stderr, QStringLiteral("Cannot make the certificate: %1").arg(error));
        return 1;
    }
    if (!writeFile(keyPath, key, S_IRUSR | S_IWUSR) || !writeFile(certificatePath, certificate, S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH))
        return 1;

    QSettings ini(Settings::iniFilePath(), QSettings::IniFormat);
    ini.setValue(QStringLiteral("tlsCertificate"), QLatin1String(CertificateFile));
    ini.setValue(QStringLiteral("tlsKey"), QLatin1String(KeyFile));
    ini.sync();
    if (ini.status() != QSettings::NoError) {
        print(stderr, QStringLiteral("Cannot name the pair in %1").arg(Settings::iniFilePath()));
        return 1;
    }
    print(stdout, QStringLiteral("Wrote %1 and %2 for %3, valid %4 days, and named them in settings.ini: "
                                 "from the next start every HTTP port serves HTTPS only.")
                      .arg(certificatePath, keyPath, hosts.join(QStringLiteral(", ")))
                      .arg(ValidDays));
    return 0;
}
