#pragma once

#include "engine/Strings.h"

// The fixed messages of the cryptography module, shared by its files. The
// Windows wording stays: users and support know these sentences.
namespace cryptoerrors {

inline constexpr const wchar_t* kProviderFailed =
    L"Internal error. Cannot initialize security services (crypto context) on this machine. "
    L"Are you running on Windows XP SP2+?";
inline constexpr const wchar_t* kHashFailed =
    L"Internal error. Cannot create a secure hash of data to be protected. Are you running on Windows XP SP2+?";
inline constexpr const wchar_t* kKeyFailed =
    L"Internal error. Cannot create a key to protect the data. Are you running on Windows XP SP2+?";
inline constexpr const wchar_t* kCipherFailed =
    L"Internal error. Cannot encrypt data. Are you running on Windows XP SP2+?";
inline constexpr const wchar_t* kCorrupted = L"Corruption in your data. Possible tampering of the product.";
inline constexpr const wchar_t* kUnsupportedAlgorithm = L"Unsupported encryption algorithm.";
inline constexpr const wchar_t* kFileNotFound = L"Cannot find the file: ";
inline constexpr const wchar_t* kOutOfMemory = L"Internal error. Ran out of memory while performing the task.";
inline constexpr const wchar_t* kReadFailed = L"Internal error. Failed to read file.";
inline constexpr const wchar_t* kWriteFailed = L"Internal error. Failed to write new file.";
// A body whose integrity tag does not match; followed by what is damaged.
inline constexpr const wchar_t* kBodyDamaged = L"damaged: ";

// The reason of the oldest error OpenSSL queued on this thread (empty when
// none); the queue is cleared so later calls start clean.
nocase_wstring openSslErrorText();

} // namespace cryptoerrors
