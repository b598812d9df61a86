#ifndef SETTINGS_H
#define SETTINGS_H

#include "DVRInfo.h"
#include "DoorInfo.h"
#include "IOInfo.h"
#include "SiteConfig.h"
#include "StreamInfo.h"

#include <QHash>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariantList>
#include <QString>

class QSettings;

// The persistent site configuration (settings.db) and the seeding and
// reading of the connection settings (settings.ini), both beside the program.
class Settings
{
    Q_DISABLE_COPY(Settings)

public:
    static Settings *instance();

    explicit Settings(const QString &databasePath);
    ~Settings();

    bool createTables();

    bool insertDVR(const DVRInfo &dvr);
    bool insertStream(const StreamInfo &stream);
    bool insertIO(const IOInfo &io);
    bool insertDoor(const DoorInfo &door);

    QList<DVRInfo> dvrs();
    QList<StreamInfo> streams();
    QList<IOInfo> ios();
    QList<DoorInfo> doors();

    // False when a table could not be emptied: inside a transaction, the
    // caller then rolls back rather than mix two configurations.
    bool cleanData();

    // The records as the selects return them once inserted: in the order of
    // the tables' keys, the ids, and a stream without channels with the one
    // channel 0 that its empty text reads back as. Building from these gives
    // what reading the tables back would, without reading them.
    static SiteConfig asStored(SiteConfig inserted);

    // Replacing the whole configuration runs inside one transaction.
    bool beginTransaction();
    bool commitTransaction();
    bool rollbackTransaction();

    // The six keys of settings.ini, with their defaults for missing keys.
    static QHash<QString, QString> iniSettings();
    static QHash<QString, QString> iniSettings(const QSettings &ini);

    static QString iniFilePath();
    static QString databaseFilePath();

private:
    bool execInsert(const char *signature, const QString &statement, const QVariantList &values);
    QSqlQuery preparedInsert(const QString &statement);

    QSqlDatabase m_db;
    // Each insert statement is prepared once: a configuration from Central
    // holds thousands of rows.
    QHash<QString, QSqlQuery> m_preparedInserts;
};

#endif // SETTINGS_H
