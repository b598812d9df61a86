#ifndef TESTSITE_H
#define TESTSITE_H

#include "SiteConfig.h"

#include <QString>

#include <string>

class Packet;

// A site the two ways the service gets one: stored in the settings.db of
// its directory before it starts, and sent by Central to the given client.
namespace TestSite {

bool store(const QString &directory, const SiteConfig &site);
Packet packet(const SiteConfig &site, const std::string &clientId = "site-1");

} // namespace TestSite

#endif // TESTSITE_H
