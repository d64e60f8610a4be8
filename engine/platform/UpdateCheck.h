#pragma once

#include <string>

#include "engine/platform/UpdateRules.h"

// Asks the update service whether a newer version exists: one HTTP GET of
// http://<server>/update.php?key=&email=..&version=..&mac=.. with short
// time-outs, so that start-up never waits long for an absent service.
class UpdateCheck {
public:
    // The result code of compareVersions for the server's answer. Never
    // throws: without an e-mail or version text, a device identity or an
    // answer, the result is 0.
    [[nodiscard]] int check(const std::string& email, const std::string& version);

    // Where the newer version can be fetched; set when check gave 1 or more.
    const std::string& downloadAddress() const;

    // The version the service named in its last answer.
    const std::string& serverVersion() const;

private:
    std::string download;
    std::string latestVersion;
};
