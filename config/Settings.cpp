#include "Settings.h"

#include "QDaemonApplication.h"
#include "QDaemonLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QHostInfo>
#include <QSettings>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QVariant>

#include <algorithm>

namespace {

const char *const createStatements[] = {
    "CREATE TABLE IF NOT EXISTS `dvrs`    (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `ip` VARCHAR, `user` VARCHAR, `pass` VARCHAR)",
    "CREATE TABLE IF NOT EXISTS `streams` (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `dvrId` INTEGER, `inPort` INTEGER, `outPort` INTEGER, `channels` VARCHAR, FOREIGN KEY(dvrId) REFERENCES dvrs(id))",
    "CREATE TABLE IF NOT EXISTS `ios`     (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `dvrId` INTEGER,  `state` INTEGER, `port` INTEGER, `enabled` INTEGER, `eventsEnabled` INTEGER, FOREIGN KEY(dvrId) REFERENCES dvrs(id))",
    "CREATE TABLE IF NOT EXISTS `ioDoors` (`id` INTEGER PRIMARY KEY, `name` VARCHAR, `ioId` INTEGER, `inPin` INTEGER, `outPin` INTEGER, `delay` INTEGER, `ncno` INTEGER, FOREIGN KEY(ioId) REFERENCES ios(id))",
};

const char *const deleteStatements[] = {
    "DELETE FROM `ioDoors`",
    "DELETE FROM `streams`",
    "DELETE FROM `ios`",
    "DELETE FROM `dvrs`",
};

const char *const notFound = "NOT_FOUND";

QString defaultServiceId()
{
    return QStringLiteral("%1_%2").arg(QHostInfo::localHostName(), QDir(QDir::homePath()).dirName());
}

// The INI keys in the order they are seeded, with their defaults.
QList<QPair<QString, QString>> iniDefaults()
{
    return {
        {QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("serverSendPort"), QStringLiteral("5001")},
        {QStringLiteral("serverRecvPort"), QStringLiteral("5002")},
        {QStringLiteral("id"), defaultServiceId()},
        {QStringLiteral("eventPort"), QStringLiteral("8087")},
        {QStringLiteral("ioPath"), QStringLiteral("html")},
    };
}

QString joinChannels(const QList<int> &channels)
{
    QStringList parts;
    for (int channel : channels)
        parts.append(QString::number(channel));
    return parts.join(QLatin1Char(','));
}

QList<int> splitChannels(const QString &text)
{
    QList<int> channels;
    for (const QString &part : text.split(QLatin1Char(',')))
        channels.append(part.toInt());
    return channels;
}

// Runs a SELECT and builds one record per row with `build`, which receives
// the query positioned on the row and the column positions by name.
template<typename Record, typename Build>
QList<Record> select(const char *signature, const QString &statement, const QStringList &columns, Build build)
{
    QList<Record> records;
    QSqlQuery query;
    // Each row is read once: no need for the driver to keep them all.
    query.setForwardOnly(true);
    if (!query.exec(statement)) {
        qDaemonLog(QDaemonLog::Priority::Error) << QString::fromLatin1(signature)
                                                << QStringLiteral("  Failed: %1").arg(query.lastError().text());
        return records;
    }
    QVector<int> position;
    const QSqlRecord record = query.record();
    for (const QString &column : columns)
        position.append(record.indexOf(column));
    while (query.next())
        records.append(build(query, position));
    return records;
}

} // namespace

Settings *Settings::instance()
{
    static Settings settings(databaseFilePath());
    return &settings;
}

QString Settings::databaseFilePath()
{
    return QDaemonApplication::dataDirectory() + QStringLiteral("/settings.db");
}

QString Settings::iniFilePath()
{
    return QDaemonApplication::dataDirectory() + QStringLiteral("/settings.ini");
}

Settings::Settings(const QString &databasePath)
{
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    m_db.setDatabaseName(databasePath);
    m_db.open();
    // It holds every DVR's password: a file left readable by an older
    // version is closed to other users here.
    QFile::setPermissions(databasePath, QFile::ReadOwner | QFile::WriteOwner);
    createTables();
}

Settings::~Settings()
{
    m_preparedInserts.clear();
    const QString name = m_db.connectionName();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

QSqlQuery Settings::preparedInsert(const QString &statement)
{
    const auto prepared = m_preparedInserts.constFind(statement);
    if (prepared != m_preparedInserts.constEnd())
        return *prepared;
    QSqlQuery query(m_db);
    if (query.prepare(statement))
        m_preparedInserts.insert(statement, query);
    return query;
}

bool Settings::execInsert(const char *signature, const QString &statement, const QVariantList &values)
{
    QSqlQuery query = preparedInsert(statement);
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    const bool ok = query.exec();
    if (!ok) {
        qDaemonLog(QDaemonLog::Priority::Error) << QString::fromLatin1(signature) << QStringLiteral("  Failed: ")
                                                << QStringLiteral("  %1").arg(query.lastError().text());
    }
    query.finish();
    return ok;
}

bool Settings::createTables()
{
    for (const char *statement : createStatements) {
        QSqlQuery query;
        query.prepare(QString::fromLatin1(statement));
        if (!query.exec()) {
            qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("bool Settings::createTables()") << QStringLiteral("  Failed at:")
                                                    << QStringLiteral("  %1").arg(QString::fromLatin1(statement));
            return false;
        }
    }

    QSettings ini(iniFilePath(), QSettings::IniFormat);
    for (const auto &entry : iniDefaults()) {
        if (ini.value(entry.first, QString::fromLatin1(notFound)).toString() == QLatin1String(notFound))
            ini.setValue(entry.first, entry.second);
    }
    return true;
}

QHash<QString, QString> Settings::iniSettings()
{
    return iniSettings(QSettings(iniFilePath(), QSettings::IniFormat));
}

QHash<QString, QString> Settings::iniSettings(const QSettings &ini)
{
    QHash<QString, QString> values;
    for (const auto &entry : iniDefaults())
        values.insert(entry.first, ini.value(entry.first, entry.second).toString());
    return values;
}

bool Settings::insertDVR(const DVRInfo &dvr)
{
    return execInsert("bool Settings::insertDVR(const DVRInfo&)",
                      QStringLiteral("INSERT INTO `dvrs`(`id`, `name`, `ip`, `user`, `pass`) VALUES (:id, :name, :ip, :user, :pass)"),
                      {dvr.id, dvr.name, dvr.ip, dvr.user, dvr.pass});
}

bool Settings::insertStream(const StreamInfo &stream)
{
    return execInsert("bool Settings::insertStream(const StreamInfo&)",
                      QStringLiteral("INSERT INTO `streams`(`id`, `name`, `dvrId`, `inPort`, `outPort`, `channels`) VALUES (:id, :name, :dvrId, :inPort, :outPort, :channels)"),
                      {stream.id, stream.name, stream.dvrId, stream.inPort, stream.outPort, joinChannels(stream.channels)});
}

bool Settings::insertIO(const IOInfo &io)
{
    return execInsert("bool Settings::insertIO(const IOInfo&)",
                      QStringLiteral("INSERT INTO `ios`(`id`, `name`, `dvrId`, `state`, `port`, `enabled`, `eventsEnabled`) VALUES (:id, :name, :dvrId, :state, :port, :enabled, :eventsEnabled)"),
                      {io.id, io.name, io.dvrId, io.state, io.port, io.enabled, io.eventsEnabled});
}

bool Settings::insertDoor(const DoorInfo &door)
{
    return execInsert("bool Settings::insertDoor(const DoorInfo&)",
                      QStringLiteral("INSERT INTO `ioDoors`(`id`, `name`, `ioId`, `inPin`, `outPin`, `delay`, `ncno`) VALUES (:id, :name, :ioId, :inPin, :outPin, :delay, :ncno)"),
                      {door.id, door.name, door.ioId, door.inPin, door.outPin, door.delay, door.ncno});
}

QList<DVRInfo> Settings::dvrs()
{
    return select<DVRInfo>("QList<DVRInfo> Settings::dvrs()", QStringLiteral("SELECT * FROM `dvrs`"),
                           {QStringLiteral("id"), QStringLiteral("name"), QStringLiteral("ip"), QStringLiteral("user"), QStringLiteral("pass")},
                           [](const QSqlQuery &q, const QVector<int> &at) {
                               DVRInfo dvr;
                               dvr.id = q.value(at[0]).toInt();
                               dvr.name = q.value(at[1]).toString();
                               dvr.ip = q.value(at[2]).toString();
                               dvr.user = q.value(at[3]).toString();
                               dvr.pass = q.value(at[4]).toString();
                               return dvr;
                           });
}

QList<StreamInfo> Settings::streams()
{
    return select<StreamInfo>("QList<StreamInfo> Settings::streams()", QStringLiteral("SELECT * FROM `streams`"),
                              {QStringLiteral("id"), QStringLiteral("name"), QStringLiteral("dvrId"), QStringLiteral("inPort"), QStringLiteral("outPort"), QStringLiteral("channels")},
                              [](const QSqlQuery &q, const QVector<int> &at) {
                                  StreamInfo stream;
                                  stream.id = q.value(at[0]).toInt();
                                  stream.name = q.value(at[1]).toString();
                                  stream.dvrId = q.value(at[2]).toInt();
                                  stream.inPort = q.value(at[3]).toInt();
                                  stream.outPort = q.value(at[4]).toInt();
                                  stream.channels = splitChannels(q.value(at[5]).toString());
                                  return stream;
                              });
}

QList<IOInfo> Settings::ios()
{
    return select<IOInfo>("QList<IOInfo> Settings::ios()", QStringLiteral("SELECT * FROM `ios`"),
                          {QStringLiteral("id"), QStringLiteral("name"), QStringLiteral("dvrId"), QStringLiteral("state"), QStringLiteral("port"), QStringLiteral("enabled"), QStringLiteral("eventsEnabled")},
                          [](const QSqlQuery &q, const QVector<int> &at) {
                              IOInfo io;
                              io.id = q.value(at[0]).toInt();
                              io.name = q.value(at[1]).toString();
                              io.dvrId = q.value(at[2]).toInt();
                              io.state = q.value(at[3]).toInt();
                              io.port = q.value(at[4]).toInt();
                              io.enabled = q.value(at[5]).toBool();
                              io.eventsEnabled = q.value(at[6]).toBool();
                              return io;
                          });
}

QList<DoorInfo> Settings::doors()
{
    return select<DoorInfo>("QList<DoorInfo> Settings::doors()", QStringLiteral("SELECT * FROM `ioDoors`"),
                            {QStringLiteral("id"), QStringLiteral("name"), QStringLiteral("ioId"), QStringLiteral("inPin"), QStringLiteral("outPin"), QStringLiteral("delay"), QStringLiteral("ncno")},
                            [](const QSqlQuery &q, const QVector<int> &at) {
                                DoorInfo door;
                                door.id = q.value(at[0]).toInt();
                                door.name = q.value(at[1]).toString();
                                door.ioId = q.value(at[2]).toInt();
                                door.inPin = q.value(at[3]).toInt();
                                door.outPin = q.value(at[4]).toInt();
                                door.delay = q.value(at[5]).toInt();
                                door.ncno = q.value(at[6]).toInt();
                                return door;
                            });
}

bool Settings::cleanData()
{
    bool ok = true;
    for (const char *statement : deleteStatements) {
        QSqlQuery query;
        if (!query.exec(QString::fromLatin1(statement))) {
            qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("void Settings::cleanData()") << QStringLiteral("  Failed at:")
                                                    << QStringLiteral("  %1").arg(QString::fromLatin1(statement));
            ok = false;
        }
    }
    return ok;
}

namespace {

template<typename Record>
void sortById(QList<Record> &records)
{
    const auto byId = [](const Record &a, const Record &b) { return a.id < b.id; };
    if (!std::is_sorted(records.cbegin(), records.cend(), byId))
        std::sort(records.begin(), records.end(), byId);
}

} // namespace

SiteConfig Settings::asStored(SiteConfig inserted)
{
    sortById(inserted.dvrs);
    sortById(inserted.streams);
    sortById(inserted.ios);
    sortById(inserted.doors);
    // By index, so that a list shared with the caller is copied only when a
    // stream does change.
    for (int i = 0; i < inserted.streams.size(); ++i) {
        if (inserted.streams.at(i).channels.isEmpty())
            inserted.streams[i].channels = {0};
    }
    return inserted;
}

bool Settings::beginTransaction()
{
    return m_db.transaction();
}

bool Settings::commitTransaction()
{
    return m_db.commit();
}

bool Settings::rollbackTransaction()
{
    return m_db.rollback();
}
