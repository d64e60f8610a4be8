#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Strings.h"

namespace archive {

// Where one extracted entry goes, and the writing of it. Below the anchor
// folder (the base folder, which the caller trusts) no existing link is ever
// followed: every folder is opened relative to its parent with O_NOFOLLOW.
// A file is written to a private temporary name beside its target and renamed
// onto it only when complete, so a failure leaves no partial file and keeps
// whatever was at the target before.
class ExtractionTarget {
public:
    ExtractionTarget() = default;
    ExtractionTarget(const ExtractionTarget&) = delete;
    ExtractionTarget& operator=(const ExtractionTarget&) = delete;
    ~ExtractionTarget();

    // Splits target into components under baseFolder (absolute, or empty for
    // none). ZR_UNSAFE when the target is empty, holds a ".." component, or is
    // absolute and outside the base folder. Touches nothing on disk.
    [[nodiscard]] int resolve(const std::string& baseFolder, const nocase_wstring& target);

    // True when the target is the anchor folder itself.
    bool isAnchor() const { return parts.empty(); }

    // A folder entry: creates every missing folder (mode 0700).
    [[nodiscard]] int createFolder();

    // A file entry: creates the missing parent folders and opens the
    // temporary file (mode 0600).
    [[nodiscard]] int beginFile();
    [[nodiscard]] int write(const char* data, std::size_t size);
    // Sets the times and moves the finished file onto its target.
    [[nodiscard]] int commit(int64_t accessTime, int64_t modificationTime);

private:
    [[nodiscard]] int openFolders(std::size_t count, int& folderFd) const;
    void discardTemporary();

    std::string anchor;
    std::vector<std::string> parts;
    int parentFd = -1;
    int fileFd = -1;
    std::uint64_t bytesWritten = 0;
    std::string temporaryName;
};

} // namespace archive
