#include "tools/bench_desktop_common/BenchVault.h"

#include <QProcess>
#include <QString>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "engine/Kist.h"
#include "engine/storage/VaultSchema.h"
#include "tools/bench_common/BenchFiles.h"
#include "tools/bench_common/ScratchHome.h"

namespace {

constexpr int kFilesPerFolder = 5;

constexpr char kColumns[] = "current_path, display_name, raw_file_name, unique_name, is_directory, volume, size, "
                            "lock_date, cipher, encrypt_algo, parent, target_path, current_root, target_root, "
                            "is_hidden, is_encrypted, pending_transform";

std::string vaultFolder()
{
    return std::string(std::getenv("XDG_DATA_HOME")) + "/kist";
}

// Runs statements on the vault database through the sqlcipher shell; returns
// what they print, without the trailing line break.
std::string sqlcipher(const std::string& statements)
{
    QProcess shell;
    shell.start(QStringLiteral("sqlcipher"),
                {QStringLiteral("-batch"), QString::fromStdString(vaultFolder() + "/" + vaultschema::databaseFileName)});
    if (!shell.waitForStarted())
        throw std::runtime_error("cannot start sqlcipher");
    const std::string script =
        std::string("PRAGMA key='") + vaultschema::connectionKey + "';\n.bail on\n" + statements + "\n;\n";
    shell.write(script.c_str());
    shell.closeWriteChannel();
    if (!shell.waitForFinished(600000) || shell.exitCode() != 0)
        throw std::runtime_error("sqlcipher failed: " + shell.readAllStandardError().toStdString());
    std::string output = shell.readAllStandardOutput().toStdString();
    if (output.rfind("ok\n", 0) == 0)
        output.erase(0, 3);
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
        output.pop_back();
    return output;
}

// The copy of a row with another display name, unique name and parent.
std::string copiedRow(const std::string& displayName, const std::string& uniqueName, const std::string& parent)
{
    return "current_path, " + displayName + ", raw_file_name, " + uniqueName + ", is_directory, volume, size, "
           "lock_date, cipher, encrypt_algo, " + parent + ", target_path, current_root, target_root, is_hidden, "
           "is_encrypted, pending_transform";
}

} // namespace

std::string useDesktopScratchHome(const std::string& scratchFolder, const char* vaultPassword)
{
    const std::string home = scratchFolder + "/home";
    useScratchHome(home, scratchFolder + "/tmp");
    const std::string runtime = scratchFolder + "/runtime";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("KIST_PASSWORD", vaultPassword, 1);
    return home;
}

void newVault(const char* password)
{
    std::filesystem::remove_all(vaultFolder());
    Kist(true).setPassword(password, "");
}

std::unique_ptr<Kist> loggedInVault(const char* password)
{
    auto kist = std::make_unique<Kist>(true);
    if (!kist->login(password))
        throw std::runtime_error("the bench vault does not open with its password");
    return kist;
}

void fillManyEntries(const std::string& work, int entries, const char* password)
{
    newVault(password);
    {
        auto kist = loggedInVault(password);
        std::filesystem::create_directories(work + "/seed folder");
        createPatternFile(work + "/seed.txt", 2000);
        for (int i = 1; i <= kFilesPerFolder; ++i)
            createPatternFile(work + "/seed folder/photo " + std::to_string(i) + ".jpg", 3000, i);
        kist->addFile(work + "/seed.txt", nullptr, false);
        kist->addFile(work + "/seed folder", nullptr, false);
    }
    const int folders = std::max(1, entries / 10);
    const int files = std::max(1, entries - folders);
    const std::string seedFile = sqlcipher("select unique_name from ProtectedFiles where display_name='seed.txt';");
    const std::string seedFolder =
        sqlcipher("select unique_name from ProtectedFiles where display_name='seed folder';");
    if (seedFile.empty() || seedFolder.empty())
        throw std::runtime_error("the seed entries are not in the vault database");
    const auto upTo = [](int last) {
        return "with recursive n(i) as (select 1 union all select i + 1 from n where i < " + std::to_string(last) +
               ") ";
    };
    std::string sql = "begin;\n";
    sql += "insert into ProtectedFiles (" + std::string(kColumns) + ") " + upTo(files - 1) + "select " +
           copiedRow("'file ' || printf('%05d', i) || '.txt'", "unique_name || '-' || i", "parent") +
           " from ProtectedFiles, n where unique_name = '" + seedFile + "';\n";
    sql += "insert into ProtectedFiles (" + std::string(kColumns) + ") " + upTo(folders - 1) + "select " +
           copiedRow("'folder ' || printf('%05d', i)", "unique_name || '-' || i", "parent") +
           " from ProtectedFiles, n where unique_name = '" + seedFolder + "';\n";
    sql += "insert into ProtectedFiles (" + std::string(kColumns) + ") " + upTo(folders - 1) + "select " +
           copiedRow("display_name", "unique_name || '-' || i", "parent || '-' || i") +
           " from ProtectedFiles, n where parent = '" + seedFolder + "';\n";
    sql += "commit;\n";
    sqlcipher(sql);
}
