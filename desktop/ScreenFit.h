#pragma once

#include <QObject>

class QWidget;

// Shows every window of the program whole and on the screen it opens on: a
// form whose wrapped labels need more height gets it, and a dialog or
// chooser taller or wider than the screen's free area (a large desktop
// scale, a large font) is shrunk to fit it as it is shown, so its buttons
// stay reachable. Dialogs then centre themselves inside that area; other
// windows are moved into it.
class ScreenFit : public QObject {
    Q_OBJECT

public:
    // Watches every window of the application from now on; once is enough.
    static void install();
    // Fits one window now.
    static void fit(QWidget* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using QObject::QObject;
};
