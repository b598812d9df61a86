#ifndef STATUSPAGE_H
#define STATUSPAGE_H

#include "ServiceStatus.h"

#include <QByteArray>

// The service's status for people: one HTML page that refreshes itself,
// each state in words and in colour, names escaped, and a small picture of
// the last snapshot of every watched channel (up to MaxPictures of them,
// none larger than MaxPictureBytes), so that the page stays small.
class StatusPage
{
public:
    StatusPage() = delete;

    static constexpr int RefreshSeconds = 5;
    static constexpr int MaxPictures = 16;
    static constexpr int MaxPictureBytes = 256 * 1024;

    static QByteArray render(const ServiceStatus &status);
    // The page's content policy: nothing but its own style and its pictures.
    static QByteArray contentSecurityPolicy();
};

#endif // STATUSPAGE_H
