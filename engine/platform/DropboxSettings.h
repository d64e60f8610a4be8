#pragma once

#include <optional>
#include <string>
#include <string_view>

// Readers for the Dropbox client's settings files, which name the user's
// Dropbox folder: info.json (newer clients) and host.db (older ones, whose
// last line is the folder in Base64).

// Decodes one host.db line as Base64. Every byte that decodes to zero is
// dropped (padding included); a character outside the alphabet and "="
// gives nothing. A trailing line end is not part of the line.
[[nodiscard]] std::optional<std::string> decodeDropboxLine(std::string_view line);

// The last line of a text file as a line-by-line reader sees it: a final
// line end does not start another, empty line.
[[nodiscard]] std::string_view lastLineOf(std::string_view contents);

// The "path" of the "personal" account in info.json, else that of the
// "business" account; nothing when neither is there or the text is not JSON.
[[nodiscard]] std::optional<std::string> dropboxPathFromInfoJson(std::string_view json);
