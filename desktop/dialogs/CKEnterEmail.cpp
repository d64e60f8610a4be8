#include "desktop/dialogs/CKEnterEmail.h"

#include <QLineEdit>

#include "desktop/EngineCall.h"
#include "desktop/EngineText.h"
#include "desktop/MessageBox.h"
#include "desktop/ScreenFit.h"
#include "desktop/dialogs/DialogSkin.h"
#include "engine/Kist.h"
#include "ui_CKEnterEmail.h"

namespace {

struct PromptAnswers {
    QStringList queued;
    bool withoutShowing = false;
};

PromptAnswers& answers()
{
    static PromptAnswers instance;
    return instance;
}

struct ModeTexts {
    const char* title;
    const char* info;
};

const ModeTexts modeTexts[] = {
    {"Open KORVELIN File", "To view the contents of this KORVELIN file, please enter the password."},
    {"Add to Vault", "To add this file to Vault, enter the Vault password."},
    {"KORVELIN Vault Restore", "Please provide the Vault password that was used to create this backup."},
};

} // namespace

CKEnterEmail::CKEnterEmail(QWidget* parent, Kist* engine)
    : QDialog(parent), ui(std::make_unique<Ui::CKEnterEmail>()), engine(engine)
{
    ui->setupUi(this);
    ScreenFit::install();
    connect(ui->okButton, &QPushButton::clicked, this, &CKEnterEmail::okButtonClicked);
    connect(ui->cancelButton, &QPushButton::clicked, this, &CKEnterEmail::cancelButtonClicked);
    ui->email->setFocus();
}

CKEnterEmail::~CKEnterEmail() = default;

void CKEnterEmail::setMode(int mode)
{
    if (mode < OpenPackage || mode > VaultRestore)
        return;
    currentMode = mode;
    const ModeTexts& texts = modeTexts[mode - OpenPackage];
    setWindowTitle(QString::fromLatin1(texts.title));
    ui->info->setText(QString::fromLatin1(texts.info));
    ui->emailLabel->setText(QStringLiteral("Enter password:"));
    ui->email->setEchoMode(QLineEdit::Password);
}

void CKEnterEmail::applySkin()
{
    applyStoredSkin(*this, engine);
}

void CKEnterEmail::okButtonClicked()
{
    std::string password = ui->email->text().toStdString();
    // A backup opens only with the Vault password and the suffix; the bare
    // password is never tried.
    if (currentMode == VaultRestore)
        password += backupPasswordSuffix;
    bool loggedIn = false;
    try {
        // Opening a package unpacks its database: off the GUI thread.
        loggedIn = EngineCall(*engine, nullptr).run([&] { return engine->login(password); });
    } catch (const ExceptionModule& error) {
        MessageBox::information(this, QStringLiteral("ERROR!"), EngineText::failureText(error));
        return;
    }
    if (!loggedIn) {
        // A wrong password is not left in the field to be sent again.
        ui->email->clear();
        MessageBox::information(
            this, QStringLiteral("Wrong Password"),
            currentMode == OpenPackage
                ? QStringLiteral("Looks like You have not entered the correct password for this KORVELIN file. "
                                 "Please Try again.")
                : QStringLiteral("looks like You have not entered the correct Vault password. Try again, please."));
        return;
    }
    ui->email->clear();
    accept();
}

void CKEnterEmail::cancelButtonClicked()
{
    ui->email->clear();
    reject();
}

bool CKEnterEmail::ask(QWidget* parent, Kist* engine, int mode)
{
    CKEnterEmail prompt(parent, engine);
    prompt.setMode(mode);
    prompt.applySkin();
    PromptAnswers& hooks = answers();
    if (hooks.queued.isEmpty() && !hooks.withoutShowing)
        return prompt.exec() == QDialog::Accepted;
    while (!hooks.queued.isEmpty()) {
        prompt.ui->email->setText(hooks.queued.takeFirst());
        prompt.okButtonClicked();
        if (prompt.result() == QDialog::Accepted)
            return true;
    }
    return false;
}

void CKEnterEmail::setNextAnswers(const QStringList& passwords)
{
    answers().queued = passwords;
}

void CKEnterEmail::answerAllWithoutShowing(bool on)
{
    answers().withoutShowing = on;
}

void CKEnterEmail::clearAnswers()
{
    answers().queued.clear();
}
