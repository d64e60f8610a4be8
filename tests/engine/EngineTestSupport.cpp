#include "tests/engine/EngineTestSupport.h"

#include <cstdlib>
#include <filesystem>

#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace enginetest {

std::string vaultFolder()
{
    return std::string(std::getenv("XDG_DATA_HOME")) + "/kist";
}

void resetProfile()
{
    std::error_code ec;
    fs::remove_all(vaultFolder(), ec);
    fs::remove_all(std::string(std::getenv("XDG_DATA_HOME")) + "/Brannoway", ec);
    fs::remove_all(std::string(std::getenv("XDG_DESKTOP_DIR")) + "/KORVELIN Restored Files", ec);
}

std::vector<Entry> list(Kist& kist)
{
    std::vector<KistFile*> files;
    kist.listFiles(files);
    std::vector<Entry> entries;
    for (KistFile* file : files) {
        entries.push_back({file->name, file->is_directory, file->size});
        delete file;
    }
    return entries;
}

std::unique_ptr<Kist> openVault(const std::string& password)
{
    auto kist = std::make_unique<Kist>(true);
    if (kist->isEmptyPassword())
        kist->setPassword(password, "");
    else if (!kist->login(password))
        throw std::runtime_error("wrong test password");
    return kist;
}

std::vector<std::pair<std::string, std::string>> tree(const std::string& folder)
{
    return testsupport::snapshotTree(folder);
}

bool vaultHoldsPlainCopy(const std::vector<std::string>& contents)
{
    for (const auto& [path, bytes] : testsupport::snapshotTree(vaultFolder())) {
        if (bytes.empty())
            continue;
        for (const std::string& content : contents)
            if (!content.empty() && bytes == content)
                return true;
    }
    return false;
}

} // namespace enginetest
