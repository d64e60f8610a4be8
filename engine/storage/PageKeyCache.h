#pragma once

#include <cstddef>
#include <string>

// The page keys of databases keyed with the fixed passphrase, kept between
// programs of one login: a key depends on nothing but the file's salt and a
// passphrase every copy of the program holds, so keeping it tells nobody
// more than the program does, and each `kist` command, shell switch and the
// window then opens the vault without deriving it again (tens of
// milliseconds each).
//
// Kept in "kist/page-keys" under $XDG_RUNTIME_DIR: memory, private to the
// user and gone at logout. Without a runtime folder that is the user's own
// and closed to others, nothing is kept. A key found here is a hint only:
// the caller proves it on the file and forgets it when it does not fit.
class PageKeyCache {
public:
    // Salts (16 bytes) and keys (32 bytes) in lower-case hex.
    // The key kept for a salt; empty when none is.
    [[nodiscard]] static std::string find(const std::string& salt);
    // Keeps the key of a salt, newest last; the oldest go beyond a few.
    static void remember(const std::string& salt, const std::string& key);
    // Drops the key of a salt.
    static void forget(const std::string& salt);

    // How many keys are kept at most: a user has one vault and its settings,
    // and tests or packages open a few more.
    static constexpr std::size_t kKeptKeys = 16;
};
