#include "tests/engine/PackageTestTools.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <unistd.h>

#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace packagetest {

std::string runOrThrow(const std::vector<std::string>& argv, const std::string& folder, const std::string& input)
{
    const ToolRun run = runTool(argv, folder, input);
    if (run.exitCode != 0) {
        std::string command;
        for (const std::string& a : argv)
            command += (command.empty() ? "" : " ") + a.substr(0, 80);
        throw std::runtime_error(command + " failed (" + std::to_string(run.exitCode) + "): " + run.output);
    }
    return run.output;
}

std::vector<std::string> nonEmptyLines(const std::string& text)
{
    std::vector<std::string> result = testsupport::splitLines(text);
    std::erase_if(result, [](const std::string& line) { return line.empty(); });
    return result;
}

std::string sha1Hex(const std::string& bytes)
{
    return runOrThrow({"sha1sum"}, "", bytes).substr(0, 40);
}

void unpackZip(const std::string& zipPath, const std::string& folder)
{
    const ToolRun run = runPython("import sys, zipfile\n"
                                  "zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])\n",
                                  {zipPath, folder});
    if (run.exitCode != 0)
        throw std::runtime_error("cannot unpack " + zipPath + ": " + run.output);
}

void packZip(const std::string& folder, const std::string& zipPath)
{
    const ToolRun run = runPython(
        "import os, sys, zipfile\n"
        "root, out, db = sys.argv[1], sys.argv[2], sys.argv[3]\n"
        "with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    last = None\n"
        "    for base, dirs, files in os.walk(root):\n"
        "        dirs.sort()\n"
        "        rel = os.path.relpath(base, root)\n"
        "        if rel != '.' and not dirs and not files:\n"
        "            z.write(base, rel + '/')\n"
        "        for f in sorted(files):\n"
        "            name = f if rel == '.' else rel + '/' + f\n"
        "            if name == db:\n"
        "                last = os.path.join(base, f)\n"
        "            else:\n"
        "                z.write(os.path.join(base, f), name)\n"
        "    if last:\n"
        "        z.write(last, db)\n",
        {folder, zipPath, kDatabaseName});
    if (run.exitCode != 0)
        throw std::runtime_error("cannot pack " + zipPath + ": " + run.output);
}

void editPackage(const std::string& package, const std::string& statements, const std::string& result)
{
    const std::string folder = testsupport::makeScratchFolder("edit");
    unpackZip(package, folder);
    (void)sqlcipher(folder + "/" + kDatabaseName, statements);
    packZip(folder, result);
    fs::remove_all(folder);
}

void makeZip(const std::string& zipPath, const std::vector<ZipEntrySpec>& entries)
{
    // Arguments come in triples: kind, name, data.
    std::vector<std::string> arguments{zipPath};
    for (const ZipEntrySpec& entry : entries) {
        arguments.push_back(entry.kind == ZipEntrySpec::File ? "f" : entry.kind == ZipEntrySpec::Folder ? "d" : "l");
        arguments.push_back(entry.name);
        arguments.push_back(entry.data);
    }
    const ToolRun run = runPython(
        "import sys, zipfile\n"
        "a = sys.argv[2:]\n"
        "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    for i in range(0, len(a), 3):\n"
        "        kind, name, data = a[i], a[i + 1], a[i + 2]\n"
        "        info = zipfile.ZipInfo(name, (2020, 1, 2, 3, 4, 6))\n"
        "        info.create_system = 3\n"
        "        info.compress_type = zipfile.ZIP_DEFLATED\n"
        "        if kind == 'l':\n"
        "            info.external_attr = (0o120777 << 16)\n"
        "        elif kind == 'd':\n"
        "            info.external_attr = (0o40755 << 16) | 0x10\n"
        "        else:\n"
        "            info.external_attr = (0o100644 << 16)\n"
        "        z.writestr(info, data.encode('utf-8', 'surrogateescape'))\n",
        arguments);
    if (run.exitCode != 0)
        throw std::runtime_error("cannot make " + zipPath + ": " + run.output);
}

std::vector<std::string> temporaryEntries()
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(std::getenv("TMPDIR")))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> pathsBelow(const std::string& root, const std::vector<std::string>& skipped)
{
    std::vector<std::string> paths;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string path = it->path().string();
        const bool skip = std::any_of(skipped.begin(), skipped.end(), [&](const std::string& s) {
            return path == s || path.rfind(s + "/", 0) == 0;
        });
        if (skip) {
            if (it->is_directory(ec) && !it->is_symlink(ec))
                it.disable_recursion_pending();
            continue;
        }
        paths.push_back(fs::relative(it->path(), root).string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

constexpr std::uintmax_t kLargestSearchedFile = 64 * 1024 * 1024;

std::vector<std::string> filesHolding(const std::string& root, const std::string& marker)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        // Hostile entries are small; a large file is another test's and
        // reading it whole would only cost time and memory.
        if (!it->is_regular_file(ec) || it->is_symlink(ec) || it->file_size(ec) > kLargestSearchedFile)
            continue;
        if (testsupport::readFile(it->path().string()).find(marker) != std::string::npos)
            found.push_back(it->path().string());
    }
    return found;
}

std::vector<std::string> summary(const Snapshot& files)
{
    std::vector<std::string> lines;
    for (const auto& [path, bytes] : files)
        lines.push_back(path + ": " + std::to_string(bytes.size()) + " bytes, " + sha1Hex(bytes));
    std::sort(lines.begin(), lines.end());
    return lines;
}

Snapshot takeOut(Kist& kist, const std::string& name)
{
    const std::string folder = testsupport::makeScratchFolder("out");
    kist.removeFile(name, folder);
    return testsupport::snapshotTree(folder);
}

} // namespace packagetest
