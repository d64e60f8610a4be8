#pragma once

#include <QString>

// Rules for what the user types into the sending and password dialogs, and
// for the names the program chooses; plain functions, tested on tables.
namespace InputRules {

// A package name as the dialogs settle it: ".kzip" is appended unless the
// last dot-separated section is exactly "kzip" (report -> report.kzip,
// report. -> report..kzip, REPORT.KZIP -> REPORT.KZIP.kzip).
QString withPackageExtension(const QString& name);

// The name the program gives a package of entries: the first entry's name up
// to its first dot, + ".kzip" (photo.jpg -> photo.kzip). A stem too long for
// a file name (255 bytes, with room for " (9999)") is shortened by whole characters.
QString defaultPackageName(const QString& firstEntryName);

// name, or "stem (N).ext" for the first N from 2 whose file does not exist in
// folder (the stem shortened when the name would pass 255 bytes); "" when
// none up to 9999 is free.
QString freeFileName(const QString& folder, const QString& name);

struct Location {
    QString folder;
    QString fileName;
};
// Splits a typed location at its last '/'. Without one the whole text is the
// file name and the folder is left empty (there is no folder to use).
Location splitLocation(const QString& text);

// The whole text matches the wildcard pattern "*@*.*" (case-sensitive).
bool looksLikeEmailAddress(const QString& text);

} // namespace InputRules
