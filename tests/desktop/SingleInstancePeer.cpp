// A second program for the single-instance tests: it takes the part of
// another VaultDesk start.
//   single_instance_peer hold              become the instance (prints "primary"
//                                          or "running") and stay until killed
//   single_instance_peer send TEXT MS      send TEXT to the instance (prints
//                                          "sending" first); exit 0 when it
//                                          confirmed, 1 when not, 3 when there was
//                                          no instance
#include "desktop/SingleInstance.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream out(stdout);
    SingleInstance instance(QStringLiteral("KORVELIN"));

    if (args.size() == 2 && args[1] == u"hold") {
        out << (instance.isRunning() ? "running" : "primary") << Qt::endl;
        return instance.isPrimary() ? app.exec() : 1;
    }
    if (args.size() == 4 && args[1] == u"send") {
        if (!instance.isRunning())
            return 3;
        out << "sending" << Qt::endl;
        return instance.sendMessage(args[2], args[3].toInt()) ? 0 : 1;
    }
    QTextStream(stderr) << "usage: single_instance_peer hold | send TEXT MS" << Qt::endl;
    return 2;
}
