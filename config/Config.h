#ifndef CONFIG_H
#define CONFIG_H

#include "DVRInfo.h"
#include "DoorInfo.h"
#include "IOInfo.h"
#include "SiteConfig.h"
#include "StreamInfo.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class QSettings;

// The in-memory configuration of the running service. Rebuilt as one unit by
// load(); every component reads the members in place on the main thread.
class Config
{
    Q_DISABLE_COPY(Config)

public:
    static Config *instance();

    // From the settings database and the INI file.
    void load();
    // From the records the database was just given, in the order they were
    // inserted, and the INI file: the same values as load() then, without
    // reading the tables back.
    void load(const SiteConfig &inserted);

    QString id;
    QString serverAddress;
    int serverSendPort = 0;
    int serverRecvPort = 0;
    QString subEndpoint;
    QString pushEndpoint;
    QHash<int, DVRInfo> dvrs;
    QHash<QString, int> dvrIdsByName;
    QHash<int, StreamInfo> streams;
    QHash<int, QList<int>> dvrStreamIds;
    QHash<int, QStringList> dvrStreamNames;
    QHash<int, QHash<QString, int>> dvrStreamIdsByName;
    QHash<int, IOInfo> ios;
    QHash<int, QList<DoorInfo>> ioDoors;
    QList<int> ioIds;
    int eventPort = 0;
    QString ioPath;
    // Central's public key (Z85 text) for the encrypted link; empty when
    // the INI file names none: the link is plain.
    QString serverPublicKey;
    // Networks (address, prefix length) whose peers the video and events
    // servers serve; empty when the INI file names none: everyone.
    QList<QPair<QHostAddress, int>> allowedNetworks;
    // Reverse proxies whose X-Forwarded-For and X-Forwarded-Proto the HTTP
    // servers believe; empty when the INI file names none.
    QList<QPair<QHostAddress, int>> trustedProxies;
    // The PEM files of the HTTP servers' TLS identity, as the INI file names
    // them (relative to its own directory); both empty: plain HTTP.
    QString tlsCertificate;
    QString tlsKey;
    // Set when the INI file names allowed networks of which none parses:
    // then no client is served at all, rather than every one.
    bool noAllowedNetworkApplies = false;
    // The names the site reaches the service by (INI allowedHosts); a
    // request naming another host is refused. Empty: any name.
    QStringList allowedHosts;

private:
    // The tables as the last load left them (shared, not copied).
    struct Built
    {
        QHash<int, DVRInfo> dvrs;
        QHash<QString, int> dvrIdsByName;
        QHash<int, StreamInfo> streams;
        QHash<int, QList<int>> dvrStreamIds;
        QHash<int, QStringList> dvrStreamNames;
        QHash<int, QHash<QString, int>> dvrStreamIdsByName;
        QHash<int, IOInfo> ios;
        QList<int> ioIds;
        QHash<int, QList<DoorInfo>> ioDoors;
    };

    Config() = default;
    void loadSite(const SiteConfig &stored);
    void buildTables(const SiteConfig &site);
    void buildDvrs(const QList<DVRInfo> &records);
    void buildStreams(const QList<StreamInfo> &records, int dvrCount);
    void updateStreams(const QList<StreamInfo> &records);
    void buildIos(const QList<IOInfo> &records);
    void buildDoors(const QList<DoorInfo> &records, int ioCount);
    void loadIni(const QSettings &file);
    void loadAllowedNetworks(const QSettings &ini);
    void loadTrustedProxies(const QSettings &ini);
    void loadAllowedHosts(const QSettings &ini);

    Built m_built;
};

#endif // CONFIG_H
