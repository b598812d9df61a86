#ifndef CERTIFICATECOMMAND_H
#define CERTIFICATECOMMAND_H

#include "QDaemonCommand.h"

// `--make-certificate HOST...`: a self-signed TLS identity for a quick start,
// written into the data directory and named in settings.ini there, so that
// the next start serves HTTPS only.
class CertificateCommand
{
public:
    CertificateCommand() = delete;

    static QDaemonCommand command();

    static constexpr int ValidDays = 397;
    static const char CertificateFile[];
    static const char KeyFile[];

private:
    static int run(const QStringList &hosts);
};

#endif // CERTIFICATECOMMAND_H
