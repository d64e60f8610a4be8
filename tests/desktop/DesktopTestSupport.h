#pragma once

#include <QApplication>
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTest>

#include <memory>

#include "desktop/FileDialog.h"
#include "desktop/MessageBox.h"
#include "desktop/dialogs/CKEnterEmail.h"
#include "desktop/Resources.h"
#include "engine/Kist.h"

// Helpers of the desktop tests. Every test program runs offscreen in a
// scratch home: HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_DESKTOP_DIR and
// TMPDIR point into a new temporary folder before the first engine is built,
// and the folder goes when the program ends (KIST_KEEP_SCRATCH=1 keeps it).
namespace desktoptest {

class ScratchHome {
public:
    ScratchHome();
    ~ScratchHome();
    ScratchHome(const ScratchHome&) = delete;
    ScratchHome& operator=(const ScratchHome&) = delete;
};

// The scratch folder of this program (absolute, no trailing slash).
const QString& scratchRoot();
// A new empty folder below the scratch folder.
QString makeFolder(const QString& hint);
// Writes bytes to path (creating its folder); returns path.
QString writeFile(const QString& path, const QByteArray& bytes);
// A file of size bytes of a pattern that depends on seed.
QString writeFile(const QString& path, qint64 size, int seed);
QByteArray readFile(const QString& path);

// Deletes the vault, the settings and the restore folder, so the next
// Kist(true) starts from nothing.
void resetProfile();
// A user vault logged in with password (set on first use).
std::unique_ptr<Kist> openVault(const std::string& password = "secret");
// The names the engine lists, in its order.
QStringList listedNames(Kist& kist);

// Forgets the answers and questions of the message-box, chooser and password-prompt hooks.
void clearDialogHooks();

} // namespace desktoptest

// The main() of a desktop test program: scratch home first, then the
// application (offscreen unless the caller chose a platform), the program's
// pictures, and message boxes and choosers that never wait for a person.
#define VAULTDESK_TEST_MAIN(TestClass)                                                                       \
    int main(int argc, char** argv)                                                                         \
    {                                                                                                       \
        desktoptest::ScratchHome scratchHome;                                                               \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                                 \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                                        \
        QApplication app(argc, argv);                                                                       \
        vaultdesk::registerResources();                                                                     \
        MessageBox::answerAllWithoutShowing(true);                                                          \
        FileDialog::answerAllWithoutShowing(true);                                                          \
        CKEnterEmail::answerAllWithoutShowing(true);                                                        \
        TestClass test;                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                             \
    }
