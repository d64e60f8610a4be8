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

// The file name under which a package is handed to the mail program. Every
// character but letters of any script (with their combining marks), digits,
// space, '.', '-', '_', '(' and ')' becomes '_': the mail hand-off pastes the
// name into command lines and mailto: addresses where a quote, comma,
// ampersand, question mark, percent sign, backslash or line break would end
// a field or start a new one. The result is valid UTF-8, at most 255 bytes
// (a file name's limit), and keeps the name's extension when it is cut.
QString mailAttachmentName(const QString& packageName);

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
