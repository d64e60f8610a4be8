#include "tools/screenshots/DialogShots.h"

#include <QApplication>
#include <QLineEdit>
#include <QWidget>

#include <cstdio>

#include "desktop/dialogs/CKDefaultOffPwdSystem.h"
#include "desktop/dialogs/CKDefaultsOffPwd.h"
#include "desktop/dialogs/CKEnterEmail.h"
#include "engine/Kist.h"

namespace {

bool saveDialog(QWidget& dialog, const QString& path)
{
    dialog.show();
    QApplication::processEvents();
    const bool ok = dialog.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    dialog.hide();
    return ok;
}

void type(QWidget& dialog, const char* name, const QString& text)
{
    if (auto* edit = dialog.findChild<QLineEdit*>(QString::fromLatin1(name)))
        edit->setText(text);
}

} // namespace

bool shootDialogs(Kist& engine, const QString& out)
{
    bool ok = true;
    // What a user has typed halfway through each mode: weak passwords where
    // one is set (the strength bar shows it), a good one for the new Vault password.
    const QString typed[6][3] = {
        {"Tax papers", "secret", "secret"},
        {"MyFiles.kzip", "Tr0ub4dor&3", ""},
        {"secret", "secret", "ann@example.org"},
        {"secret", "", ""},
        {"secret", "correct horse battery staple", ""},
        {"ann@example.org", "", ""},
    };
    for (int mode = 0; mode <= 5; ++mode) {
        CKDefaultsOffPwd dialog(nullptr, &engine);
        dialog.setMode(mode);
        dialog.applySkin();
        type(dialog, "zipFileName", typed[mode][0]);
        type(dialog, "enterPwd", typed[mode][1]);
        type(dialog, "reEnterPwd", typed[mode][2]);
        ok &= saveDialog(dialog, QStringLiteral("%1/password-dialog-mode-%2.png").arg(out).arg(mode));
    }
    {
        CKDefaultOffPwdSystem dialog(nullptr, nullptr);
        dialog.setLocation(QString::fromStdString(Kist::getFolder(DesktopDir)) + "/MyFiles.kzip");
        type(dialog, "enterPwd", "secret");
        ok &= saveDialog(dialog, out + "/save-to-computer.png");
    }
    for (int mode = CKEnterEmail::OpenPackage; mode <= CKEnterEmail::VaultRestore; ++mode) {
        CKEnterEmail prompt(nullptr, &engine);
        prompt.setMode(mode);
        prompt.applySkin();
        type(prompt, "email", "secret");
        ok &= saveDialog(prompt, QStringLiteral("%1/password-prompt-mode-%2.png").arg(out).arg(mode));
    }
    return ok;
}
