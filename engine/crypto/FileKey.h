#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/SecretText.h"

// Every file body has a key of its own: nine characters of this alphabet,
// kept only sealed under the Vault password (or a package password).
inline constexpr std::string_view kFileKeyAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
inline constexpr std::size_t kFileKeyLength = 9;

// A fresh file key from the system's cryptographic random source, each
// character uniform over the alphabet.
[[nodiscard]] SecretText drawFileKey();

// The file key sealed under the sealing text, as hex text (the stored cipher).
[[nodiscard]] std::string sealFileKey(const std::string& sealingText, const std::string& fileKey);

// The file key back from its sealed form. Something that does not open to a
// well-formed key (a wrong sealing text whose garbage happens to pass the
// padding check) is refused rather than used to write a garbled file.
[[nodiscard]] SecretText openFileKey(const std::string& sealingText, const std::string& cipher);
