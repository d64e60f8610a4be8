#pragma once

#include "engine/Strings.h"

// String helpers for the engine's paths ("/" separated nocase_wstring).
// Every comparison here is exact: Linux file systems are case-sensitive, so
// two paths that differ only in letter case are two different files.

// folder + "/" + name with exactly one separator between them.
[[nodiscard]] nocase_wstring joinPath(const nocase_wstring& folder, const nocase_wstring& name);

// The text after the last "/", trailing slashes ignored; "" for "/".
[[nodiscard]] nocase_wstring lastComponent(const nocase_wstring& path);

// The path without its last component ("/a/b" -> "/a", "/a" -> "/");
// "" when there is none ("/", "name").
[[nodiscard]] nocase_wstring parentFolder(const nocase_wstring& path);

// Drops trailing slashes but keeps the root "/" itself.
[[nodiscard]] nocase_wstring trimTrailingSlashes(const nocase_wstring& path);

// True when path is folder itself or lies below it, compared by whole
// components: "/data2/x" is not inside "/data", "/data/sub" is.
[[nodiscard]] bool isInsideOrSame(const nocase_wstring& path, const nocase_wstring& folder);

// A single file name that cannot climb out of or reach outside its folder.
[[nodiscard]] bool isSafeComponent(const nocase_wstring& name);

// A relative path made only of safe components.
[[nodiscard]] bool isSafeRelativePath(const nocase_wstring& path);

// An absolute path with "." and ".." collapsed lexically (symbolic links
// are not resolved); relative paths are taken from the working folder.
[[nodiscard]] nocase_wstring makeAbsolute(const nocase_wstring& path);

// A name under folder that nothing occupies yet: name itself, else the name
// with " (2)", " (3)" ... before its extension ("report (2).docx"). Folders
// and names like ".bashrc" have no extension.
[[nodiscard]] nocase_wstring freeTargetName(const nocase_wstring& folder, const nocase_wstring& name,
                                            bool isFolder);
