#ifndef CONFIGSYNC_H
#define CONFIGSYNC_H

#include "SiteConfig.h"

#include <QList>

#include <string>

class Settings;
class SystemData;

// Replaces the stored site configuration with the one Central sent.
class ConfigSync
{
public:
    ConfigSync() = delete;

    // Stores the configuration unless the check refuses it; a refusal is
    // logged in one line and keeps the stored configuration. True when the
    // stored configuration was replaced; `inserted` then holds it as store()
    // gives it.
    static bool apply(const SiteConfig &site, Settings &settings, int eventPort, SiteConfig *inserted = nullptr);

    // The four lists of the message as records, in message order.
    static SiteConfig records(const SystemData &data);

    // Clears the four tables and inserts every record, in one transaction:
    // a crash in the middle leaves the old configuration or the new one. A
    // refused insert is logged by Settings and skipped. When a table cannot
    // be emptied, the stored configuration is kept. On success `inserted`,
    // when given, receives the records the tables now hold, in message order.
    static bool store(const SiteConfig &site, Settings &settings, SiteConfig *inserted = nullptr);

    // Channels arrive as JSON text, an array of decimal strings. Anything
    // else that is not an array gives no channels; an element that is not
    // such a string gives channel 0.
    static QList<int> parseChannels(const std::string &json);
};

#endif // CONFIGSYNC_H
