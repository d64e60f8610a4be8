#pragma once

#include <string>
#include <string_view>

// The update service's protocol, apart from the network: the request's
// object name, the answer's fields and how versions compare.

// What the update service answered: fields "Version::<text>;" and
// "Download::<address>;", in that order.
struct UpdateAnswer {
    bool hasVersion = false;
    std::string version;
    std::string download;
};

[[nodiscard]] UpdateAnswer parseUpdateAnswer(std::string_view answer);

// 0 when the server offers nothing newer, else 1 (patch), 2 (second part)
// or 3 (first part). Parts compare as text, as the service expects: its
// versions keep a fixed number of digits per part.
[[nodiscard]] int compareVersions(std::string_view current, std::string_view server);

// path + "?key=&email=..&version=..&mac=..", the values percent-encoded
// where a query would otherwise misread them ("+", "&", spaces).
[[nodiscard]] std::string updateObjectName(std::string_view path, std::string_view email, std::string_view version,
                                           std::string_view mac);

// host[:port] of the update service: $KORVELIN_UPDATE_SERVER, else the
// address this build was made with.
[[nodiscard]] std::string updateServerAddress();
