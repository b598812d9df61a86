#include "QDaemonApplication.h"

#include "QDaemonLog.h"
#include "SystemdNotifier.h"
#include "SystemdUnit.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextStream>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Self-pipe: the signal handler only writes one byte; the event loop reads it.
int terminationPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(terminationPipe[1], &byte, 1);
}

void writeQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    using Priority = QDaemonLog::Priority;
    static const char *const tags[] = {"debug", "warning", "critical", "fatal", "info"};
    static const Priority priorities[] = {Priority::Debug, Priority::Warning, Priority::Error, Priority::Critical, Priority::Info};
    const QString text = QStringLiteral("[%1] %2").arg(QLatin1String(tags[type]), qFormatLogMessage(type, context, message));
    const QByteArray line = QDaemonLog::instance().priorityPrefix(priorities[type])
        + QDaemonLog::formatLine(QDateTime::currentDateTimeUtc(), text);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

const char *const usage =
    "Usage: %1 [--data-dir DIR] COMMAND\n"
    "\n"
    "  --data-dir DIR              keep the service's files in DIR (default: beside the program)\n"
    "  --service                   run the service in the foreground (what systemd runs)\n"
    "  --install [--unit-dir DIR]  install the systemd unit %2 (default DIR: %3)\n"
    "  --uninstall [--unit-dir DIR]\n"
    "                              remove the systemd unit\n"
    "  --help                      show this text\n";

// The usage text's column where descriptions start.
constexpr int UsageColumn = 30;

// Every connection costs a descriptor; the servers cap their connections,
// so the process may take all that the hard limit grants.
void raiseDescriptorLimit()
{
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        qDaemonLog(QDaemonLog::Priority::Warning) << QStringLiteral("Cannot raise the file descriptor limit to %1").arg(qulonglong(limit.rlim_max));
}

// The kernel grows a process's descriptor table by doubling it, and once the
// process has threads every growth waits for an RCU grace period, which can
// take milliseconds. Growing it once, before any thread exists, spares a site
// with thousands of listening ports a stall at each doubling as it opens them.
void reserveDescriptorTable()
{
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t highest = std::min<rlim_t>(limit.rlim_cur, QDaemonApplication::ReservedDescriptors) - 1;
    const int descriptor = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, int(highest));
    if (descriptor >= 0)
        ::close(descriptor);
}

} // namespace

QDaemonApplication::QDaemonApplication(int &argc, char **argv)
    : QCoreApplication(argc, argv)
{
    qInstallMessageHandler(writeQtMessage);
}

QDaemonApplication::~QDaemonApplication()
{
    qInstallMessageHandler(nullptr);
    if (terminationPipe[0] >= 0) {
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        ::close(terminationPipe[0]);
        ::close(terminationPipe[1]);
        terminationPipe[0] = terminationPipe[1] = -1;
    }
}

void QDaemonApplication::setApplicationDescription(const QString &description)
{
    if (auto *app = qobject_cast<QDaemonApplication *>(QCoreApplication::instance()))
        app->m_description = description;
}

QString QDaemonApplication::applicationDescription()
{
    auto *app = qobject_cast<QDaemonApplication *>(QCoreApplication::instance());
    return app ? app->m_description : QString();
}

int QDaemonApplication::exec()
{
    auto *app = qobject_cast<QDaemonApplication *>(QCoreApplication::instance());
    return app ? app->run() : 1;
}

void QDaemonApplication::addCommand(const QDaemonCommand &command)
{
    if (auto *app = qobject_cast<QDaemonApplication *>(QCoreApplication::instance()))
        app->m_commands.append(command);
}

void QDaemonApplication::setStatus(const QString &status)
{
    auto *app = qobject_cast<QDaemonApplication *>(QCoreApplication::instance());
    if (app && app->m_systemd)
        app->m_systemd->notify("STATUS=" + status.simplified().toUtf8());
}

void QDaemonApplication::printUsage(FILE *stream) const
{
    QString text = QString::fromLatin1(usage).arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName(), SystemdUnit::fileName(), SystemdUnit::defaultDirectory());
    for (const QDaemonCommand &command : m_commands) {
        const QString option = QStringLiteral("  --%1 %2").arg(command.name, command.synopsis).trimmed();
        const QString head = QStringLiteral("  ") + option;
        text += head.size() < UsageColumn ? head.leftJustified(UsageColumn) : head + QLatin1Char('\n') + QString(UsageColumn, QLatin1Char(' '));
        text += command.description + QLatin1Char('\n');
    }
    std::fputs(text.toLocal8Bit().constData(), stream);
}

QString QDaemonApplication::dataDirectory()
{
    auto *app = qobject_cast<QDaemonApplication *>(QCoreApplication::instance());
    return app && !app->m_dataDirectory.isEmpty() ? app->m_dataDirectory : QCoreApplication::applicationDirPath();
}

QStringList QDaemonApplication::takeDataDirectory(QStringList args)
{
    if (args.size() > 2 && args.at(1) == QLatin1String("--data-dir")) {
        m_dataDirectory = QDir(args.at(2)).absolutePath();
        args.erase(args.begin() + 1, args.begin() + 3);
    }
    return args;
}

int QDaemonApplication::run()
{
    const QStringList args = takeDataDirectory(arguments());
    if (args.size() > 1) {
        for (const QDaemonCommand &command : qAsConst(m_commands)) {
            if (args.at(1) == QStringLiteral("--") + command.name)
                return command.run(args.mid(2));
        }
    }

    QCommandLineParser parser;
    const QCommandLineOption service(QStringLiteral("service"));
    const QCommandLineOption installOption(QStringLiteral("install"));
    const QCommandLineOption uninstallOption(QStringLiteral("uninstall"));
    const QCommandLineOption unitDir(QStringLiteral("unit-dir"), QString(), QStringLiteral("DIR"), SystemdUnit::defaultDirectory());
    const QCommandLineOption help(QStringLiteral("help"));
    parser.addOptions({service, installOption, uninstallOption, unitDir, help});

    if (!parser.parse(args)) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
        printUsage(stderr);
        return 2;
    }
    const int commands = int(parser.isSet(service)) + int(parser.isSet(installOption)) + int(parser.isSet(uninstallOption));
    if (parser.isSet(help) || args.size() == 1) {
        printUsage(stdout);
        return 0;
    }
    if (commands != 1 || (parser.isSet(unitDir) && parser.isSet(service))) {
        printUsage(stderr);
        return 2;
    }
    if (parser.isSet(installOption))
        return install(parser.value(unitDir));
    if (parser.isSet(uninstallOption))
        return uninstall(parser.value(unitDir));
    return runService(parser.positionalArguments());
}

int QDaemonApplication::runService(const QStringList &args)
{
    // Whatever the service writes (the settings with every DVR's password,
    // keys, layout pages) is for its own user alone.
    ::umask(077);
    if (!QDir().mkpath(dataDirectory())) {
        qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("Cannot create the data directory %1").arg(dataDirectory());
        return 1;
    }
    raiseDescriptorLimit();
    reserveDescriptorTable();
    watchTerminationSignals();
    m_systemd = new SystemdNotifier(this);
    QMetaObject::invokeMethod(this, [this, args] {
        emit started();
        emit daemonized(args);
        // The handlers of daemonized have loaded the configuration and
        // opened the ports by now.
        m_systemd->notify(QByteArrayLiteral("READY=1"));
        m_systemd->startWatchdog();
    }, Qt::QueuedConnection);
    return QCoreApplication::exec();
}

int QDaemonApplication::install(const QString &unitDirectory)
{
    const QString error = SystemdUnit::install(unitDirectory, m_description, applicationFilePath());
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    if (unitDirectory == SystemdUnit::defaultDirectory()) {
        SystemdUnit::ensureUser();
        SystemdUnit::systemctl({QStringLiteral("daemon-reload")});
        SystemdUnit::systemctl({QStringLiteral("enable"), SystemdUnit::fileName()});
    }
    emit installed();
    return 0;
}

int QDaemonApplication::uninstall(const QString &unitDirectory)
{
    const bool systemDirectory = unitDirectory == SystemdUnit::defaultDirectory();
    if (systemDirectory)
        SystemdUnit::systemctl({QStringLiteral("disable"), SystemdUnit::fileName()});
    const QString error = SystemdUnit::uninstall(unitDirectory);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    if (systemDirectory)
        SystemdUnit::systemctl({QStringLiteral("daemon-reload")});
    emit uninstalled();
    return 0;
}

void QDaemonApplication::watchTerminationSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, terminationPipe) != 0) {
        qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("Cannot watch termination signals");
        return;
    }
    ::fcntl(terminationPipe[1], F_SETFL, O_NONBLOCK);
    m_terminationNotifier = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, this);
    connect(m_terminationNotifier, &QSocketNotifier::activated, this, &QDaemonApplication::onTerminationRequested);

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void QDaemonApplication::onTerminationRequested()
{
    char byte;
    [[maybe_unused]] const ssize_t read = ::read(terminationPipe[0], &byte, 1);
    m_terminationNotifier->setEnabled(false);
    m_systemd->notify(QByteArrayLiteral("STOPPING=1"));
    emit stopped();
    quit();
}
