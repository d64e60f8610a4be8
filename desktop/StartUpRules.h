#pragma once

#include <QString>
#include <QStringList>

// Pure rules of the program's start: what the command line asks for and
// which welcome question can be answered. No engine, no widgets; tested on
// tables.
namespace StartUpRules {

// The command line as start-up reads it: one path and the switch flags.
struct CommandLine {
    QString path;
    bool extractChosen = false; // "/x"
    bool extractHere = false;   // "/xh"
    bool extractToVault = false; // "/xv"
    bool sendToFolder = false;  // "/sf"
    bool sendToDropbox = false; // "/sd"
    bool sendByEmail = false;   // "/se"
    bool addToVault = false;    // "/sv"
    bool fileCreator = false;   // "/w"
    bool shell = false;         // "/sh" (no effect of its own)
    bool verbose = false;       // "/v" (no effect of its own)
    bool restore = false;       // "/r"
};

// What one start does.
enum class StartFlow {
    ExtractChosen,  // E1: the package into a folder the user picks
    ExtractHere,    // E2: the package into a new folder beside it
    ExtractToVault, // E3: the package's contents into the vault
    SendToFolder,   // S1, target 0
    SendToDropbox,  // S1, target 1
    SendByEmail,    // S1, target 2
    AddToVault,     // S2
    OpenPackage,    // P
    FileCreator,    // W
    Normal,         // N: the user's vault, one instance per user
    Refused,        // a switch that needs a path came without one: exit -1, nothing shown
};

// Every argument after the program's own name. A switch counts only when
// the whole argument matches (case-sensitive); every other non-empty
// argument is the path, a later one replacing an earlier one. Absolute paths
// begin with a slash here, so nothing else is set aside.
CommandLine scanArguments(const QStringList& argumentsAfterProgram);

// The first of "/x", "/xh", "/xv", "/sf", "/sv", "/sd", "/se" that was given
// decides (each needs the path); then a path opens the package; then "/r"
// (refused: it names nothing to open); then "/w"; else the normal start.
StartFlow chooseFlow(const CommandLine& commandLine);

// The send target of the S1 flows (0 folder, 1 Dropbox, 2 e-mail), -1 for others.
int sendTarget(StartFlow flow);
// What the progress window of a shell send says it does with the file.
QString sendTask(int target, const QString& fileName);

// "/xh": the package's folder joined with its file name up to the first dot
// (/docs/photos.2012.kzip -> /docs/photos). A name that begins with a dot
// loses only its last extension, a name without a dot gains " files", and a
// name that leaves nothing gets a fixed one.
QString extractHereFolder(const QString& absolutePackagePath);

// A whole-vault backup (".kzipbkp"), sealed with the Vault password and the
// backup suffix: opening or extracting it asks for the Vault password the
// backup was made with, not for a package password.
bool isVaultBackup(const QString& path);

// The welcome question before a window is shown, if any. Both welcomes work
// on the user's vault and each can only succeed in one state of it: the
// password-and-e-mail welcome sets the first Vault password, so it is asked
// only while the vault has none (at the first launch, at every normal start,
// and whenever the e-mail address is missing too); the e-mail-only welcome
// confirms with the Vault password, so it is asked only once there is one.
enum class Welcome { None, PasswordAndEmail, EmailOnly };

struct WelcomeState {
    bool firstLaunch = false;   // the settings were created by this start
    bool normalStart = false;   // flow N
    bool vaultPasswordEmpty = false;
    bool emailEmpty = false;
};

Welcome chooseWelcome(const WelcomeState& state);

} // namespace StartUpRules
