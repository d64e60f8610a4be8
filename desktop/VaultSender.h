#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include "desktop/SendTarget.h"

class CKDropBox;
class Kist;
class SendHost;
class VaultViewHost;

// Taking entries out of the vault view and sending them: packages saved to
// a folder, placed in Dropbox or attached to an e-mail. Works on the view
// through its public calls, runs the engine through EngineCall (progress and
// Cancel in the view host's display) and reports in the view's status line.
// The main window owns one; every operation is synchronous for its caller.
class VaultSender : public QObject {
    Q_OBJECT

public:
    VaultSender(CKDropBox& view, Kist& engine, SendHost& sendHost, VaultViewHost& viewHost,
                QObject* parent = nullptr);
    ~VaultSender() override;

    // "Take Out": the ticked entries into the default restore folder (or a
    // chosen one), then the window's "Select All" is cleared.
    void restoreSelected();
    // The extract button of a package window: every entry, same destination rule.
    void restoreAll();

    // The entries into folder; failures are collected and reported together.
    void takeOutSelected(const QString& folder);
    void takeOutAll(const QString& folder);

    // Writes the ticked (or all) entries as one package into folder and
    // returns its path, or "" when nothing was written. An empty package name
    // means the first entry's name + ".kzip", made free in the folder; a given
    // name replaces what is there (callers asked the user first). A hardened
    // form is asked of the engine for this package only (a backup of a
    // hardened vault is hardened whatever the form).
    QString exportSelected(const QString& folder, const QString& packageName, const QString& password,
                           SendTarget target, PackageForm form = PackageForm::Standard);
    QString exportAll(const QString& folder, const QString& packageName, const QString& password,
                      SendTarget target, PackageForm form = PackageForm::Standard);

    // Packs the ticked entries into a private temporary folder and hands the
    // package to the mail client.
    void emailSelected(const QString& packageName, const QString& password,
                       PackageForm form = PackageForm::Standard);
    // The package under a name that is safe to hand to the mail program
    // (InputRules::mailAttachmentName): the package itself when its name is
    // safe, else a second name of it in its folder; "" when none can be made.
    static QString mailAttachment(const QString& packagePath);
    // Starts handing one attachment with subject and body to the mail
    // client and returns at once: false when it could not be started. How it
    // ended ("Handed to your mail program" or "Email not sent") goes to the status line.
    bool sendMail(const QString& attachmentPath, const QString& subject, const QString& body);

    // A writer button (0 folder, 1 Dropbox, 2 e-mail): sends with the
    // defaults, or opens the dialog that asks. True when a dialog was opened
    // that finishes the send.
    bool sendSelected(int target);

    // A stored setting, but the defaults only while "DefaultsOn" is "true".
    [[nodiscard]] QString getDefaultConfig(const QString& key) const;

    // The mail body below the user's own text.
    [[nodiscard]] static QString mailBody();
    // The rich text of the "No Dropbox" box, with its "Install Dropbox" link.
    [[nodiscard]] static QString noDropboxMessage();

private:
    // The three writer buttons: with the defaults, or through their dialog.
    bool saveSelectedToComputer();
    bool sendSelectedToDropbox();
    bool emailSelectedWithDefaults();
    void takeOut(const QStringList& names, const QString& folder, const QString& busyStatus);
    QString exportNames(const QStringList& names, const QString& folder, const QString& packageName,
                        const QString& password, SendTarget target, bool everything, PackageForm form);
    // The default restore folder, or one the user chooses; "" when cancelled.
    QString takeOutDestination();

    CKDropBox& view;
    Kist& engine;
    SendHost& sendHost;
    VaultViewHost& viewHost;
};
