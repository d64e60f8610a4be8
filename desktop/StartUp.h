#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "desktop/StartUpRules.h"

class CKMainWindow;
class ProgressWindow;
class Kist;
class QDialog;
class SingleInstance;

// The program's start: reads the command line, runs the flow it asks for
// (a shell switch's extract, store or send without a window; an opened
// package; the package composer; the user's vault, one instance per user),
// asks the first-launch questions, offers or enforces an upgrade and runs
// the event loop. run() returns the exit status: 0 done, -1 refused or failed
// (255 to a shell); extracting into the vault returns its dialog's result.
//
// Every failure, in the flows and in the closing steps alike, is shown in a
// box ("Error", or the shell flows' own titles) and ends the start with -1;
// nothing escapes to the caller.
class StartUp : public QObject {
    Q_OBJECT

public:
    // arguments: the command line as the file system spells it (EngineText::arguments), the program's name first.
    explicit StartUp(const QStringList& arguments);
    ~StartUp() override;

    int run();

    [[nodiscard]] StartUpRules::StartFlow flow() const { return startFlow; }
    // The window of flows P, W and N while the event loop runs (tests look at it).
    [[nodiscard]] CKMainWindow* window() const { return mainWindow.get(); }
    [[nodiscard]] Kist* engine() const { return kist.get(); }

    // The application id and the text a second start sends the first.
    static constexpr const char* applicationId = "KORVELIN";
    static constexpr const char* wakeUpMessage = "Wake up!";
    static constexpr int wakeUpTimeoutMs = 5000;

    // Test seams. The modal runner runs the welcome dialogs and the
    // extract-into-vault dialog (default: exec()); the event-loop runner runs
    // the loop once the window is shown (default: QApplication::exec()).
    using ModalRunner = std::function<int(QDialog&)>;
    using EventLoopRunner = std::function<int()>;
    static void setModalRunner(ModalRunner runner);
    static void setEventLoopRunner(EventLoopRunner runner);

private:
    int runFlow();
    int extractPackage(bool chooseFolder);
    int extractToVault();
    int sendFile(int target);
    int addToVault();
    int openPackage();
    int fileCreator();
    int normalStart();
    // The closing steps of P, W and N: upgrade, welcome, window, event loop.
    int showAndRun();
    // The normal start asks the update service unless the user or the system turned it off.
    bool checksForUpdates();
    bool askWelcome();
    bool askPackagePassword(const QString& packagePath);
    void wakeUp();
    void bringWindowForward();
    void closeWindowAndEngine();

    QString absolutePath() const;

    StartUpRules::CommandLine commandLine;
    StartUpRules::StartFlow startFlow;
    // Declared so that the window goes before the engine it borrows.
    std::unique_ptr<Kist> kist;
    std::unique_ptr<ProgressWindow> sendProgress;
    std::unique_ptr<CKMainWindow> mainWindow;
    std::unique_ptr<SingleInstance> instance;
    bool windowShown = false;
    bool wakeUpPending = false;
};
