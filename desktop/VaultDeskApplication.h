#pragma once

#include <QApplication>

// The program's application object. An error that escapes a slot or an
// event handler is not let through Qt's event loop (which cannot carry it):
// it is shown in an "Error" box like every other failure of the start, and
// the event loop ends, so the program exits with -1.
class VaultDeskApplication : public QApplication {
    Q_OBJECT

public:
    VaultDeskApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Whether notify() reported an error since the last clear.
    static bool hadUnhandledError();
    static void clearUnhandledError();
    // Shows the box and ends the event loop, as notify() does; for errors
    // caught elsewhere outside the start's own handler.
    static void reportUnhandledError(const QString& message);
};
