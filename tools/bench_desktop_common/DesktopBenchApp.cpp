#include "tools/bench_desktop_common/DesktopBenchApp.h"

#include <QApplication>

#include <stdexcept>

#include "desktop/MessageBox.h"
#include "desktop/Resources.h"

QApplication& offscreenApplication(const char* programName)
{
    static int argc = 1;
    static std::string name = programName;
    static char* argv[] = {name.data(), nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
    vaultdesk::registerResources();
    MessageBox::answerAllWithoutShowing(true);
    return app;
}

void throwIfAsked(const std::string& failure)
{
    if (!MessageBox::asked().isEmpty())
        throw std::runtime_error(failure + ": " + MessageBox::lastAsked().text.toStdString());
}
