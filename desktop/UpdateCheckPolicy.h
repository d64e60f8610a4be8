#pragma once

#include <QString>

// Whether the program asks the maker's update service for a newer version at
// its start. Only the vault window's normal start asks, and only while both
// the user's setting and the system allow it: a distribution or an
// administrator turns the check off for everyone with the environment
// variable or a line in a file under the system's configuration folders.
namespace UpdateCheckPolicy {

// The user's setting (Default Settings): "true" or "false"; nothing stored means on.
inline constexpr const char* settingName = "CheckForUpdates";
// Set to anything but "" or "0": no update check.
inline constexpr const char* environmentSwitch = "KORVELIN_NO_UPDATE_CHECK";
// Looked for in each folder of $XDG_CONFIG_DIRS (default /etc/xdg); a line
// "UpdateCheck=off" (or "false", "no", "0") turns the check off.
inline constexpr const char* systemFileName = "korvelin-safehold.conf";

[[nodiscard]] bool userAllows(const QString& storedSetting);
[[nodiscard]] bool systemAllows();
// The files systemAllows() reads, in order.
[[nodiscard]] QStringList systemFiles();

} // namespace UpdateCheckPolicy
