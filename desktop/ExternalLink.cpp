#include "desktop/ExternalLink.h"

#include <QDesktopServices>

namespace {

struct LinkHooks {
    std::function<bool(const QUrl&)> opener;
    QList<QUrl> opened;
};

LinkHooks& hooks()
{
    static LinkHooks instance;
    return instance;
}

} // namespace

bool ExternalLink::open(const QUrl& url)
{
    hooks().opened.append(url);
    if (hooks().opener)
        return hooks().opener(url);
    return QDesktopServices::openUrl(url);
}

void ExternalLink::setOpener(std::function<bool(const QUrl&)> opener)
{
    hooks().opener = std::move(opener);
}

const QList<QUrl>& ExternalLink::opened()
{
    return hooks().opened;
}

void ExternalLink::clearOpened()
{
    hooks().opened.clear();
}
