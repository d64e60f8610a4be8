#pragma once

#include "engine/Strings.h"

// Pure rules for zip entry names, apart from any archive I/O.
namespace archive {

// The name an added entry is stored under: every backslash becomes "/".
nocase_wstring storedEntryName(const nocase_wstring& name);

// True when the entry is stored rather than deflated: its extension (from the
// last dot, letter case ignored) marks data that is already compressed.
bool isStoredExtension(const nocase_wstring& name);

// The name reported for an entry read from an archive. Repeatedly strips a
// drive prefix ("X:"), a leading "\" or "/", and everything up to and
// including the first "\..\", "\../", "/../" or "/..\", then turns the
// remaining backslashes into "/". A leading "../" survives; extraction
// refuses such names.
nocase_wstring cleanEntryName(const nocase_wstring& rawName);

} // namespace archive
