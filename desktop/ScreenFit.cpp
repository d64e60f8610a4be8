#include "desktop/ScreenFit.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QLayout>
#include <QScreen>
#include <QWidget>

#include <algorithm>

void ScreenFit::install()
{
    auto* app = QCoreApplication::instance();
    if (!app || app->findChild<ScreenFit*>(QString(), Qt::FindDirectChildrenOnly))
        return;
    app->installEventFilter(new ScreenFit(app));
}

void ScreenFit::fit(QWidget* window)
{
    QWidget* anchor = window->parentWidget() ? window->parentWidget()->window() : window;
    QScreen* screen = anchor->screen();
    if (!screen)
        return;
    const QRect room = screen->availableGeometry();
    // The frame the window manager adds is known once the window was shown;
    // before that the frame is the window itself.
    const QRect frame = window->frameGeometry();
    const QSize decoration = frame.size() - window->size();
    const QSize most = room.size() - decoration;
    // A form whose labels wrap needs more height the narrower it is; Qt does
    // not grow a window for that on its own.
    if (QLayout* form = window->layout(); form && form->hasHeightForWidth()) {
        const int needed = form->totalHeightForWidth(window->width());
        if (needed > window->height())
            window->resize(window->width(), needed);
    }
    // A window of one fixed size would only be cut: it is moved, not shrunk.
    const bool fixedSize = window->minimumSize() == window->maximumSize();
    if (!fixedSize && (window->width() > most.width() || window->height() > most.height())) {
        // A form may ask for more than the screen holds: the screen wins.
        window->setMinimumSize(window->minimumSize().boundedTo(most));
        window->resize(window->size().boundedTo(most));
    }
    // A dialog centres itself over its parent inside the free area when it
    // is shown; moving it here would stop that.
    if (qobject_cast<QDialog*>(window) && !window->testAttribute(Qt::WA_Moved))
        return;
    const QRect now = window->frameGeometry();
    if (room.contains(now))
        return;
    const int x = std::clamp(now.x(), room.left(), std::max(room.left(), room.right() + 1 - now.width()));
    const int y = std::clamp(now.y(), room.top(), std::max(room.top(), room.bottom() + 1 - now.height()));
    window->move(x, y);
}

bool ScreenFit::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Show && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        const Qt::WindowType type = widget->windowType();
        if (widget->isWindow() && (type == Qt::Dialog || type == Qt::Window || type == Qt::Sheet))
            fit(widget);
    }
    return QObject::eventFilter(watched, event);
}
