#ifndef CONFIGSYNC_H
#define CONFIGSYNC_H

#include <QList>

#include <string>

class Settings;
class SystemData;

// Replaces the stored site configuration with the one Central sent.
class ConfigSync
{
public:
    ConfigSync() = delete;

    // Clears the four tables and inserts every entry of the four lists, in
    // one transaction: a crash in the middle leaves the old configuration
    // or the new one. A refused insert is logged by Settings and skipped.
    static void apply(const SystemData &data, Settings &settings);

    // Channels arrive as JSON text, an array of decimal strings. Anything
    // else that is not an array gives no channels; an element that is not
    // such a string gives channel 0.
    static QList<int> parseChannels(const std::string &json);
};

#endif // CONFIGSYNC_H
