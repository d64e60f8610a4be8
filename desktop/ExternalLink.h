#pragma once

#include <QList>
#include <QUrl>

#include <functional>

// Opens web addresses in the desktop's browser. Tests replace the opener so
// that no browser is ever started, and read what would have been opened.
class ExternalLink {
public:
    // True when the desktop accepted the address.
    static bool open(const QUrl& url);

    // Test hooks: an opener in place of the desktop's (an empty function
    // restores the desktop's), and the addresses asked for since clearOpened().
    static void setOpener(std::function<bool(const QUrl&)> opener);
    static const QList<QUrl>& opened();
    static void clearOpened();
};
