#pragma once

#include <QString>
#include <QStringList>

#include <string>

class ExceptionModule;
class QUrl;

// Text that crosses to the engine and back. File names on Linux are bytes,
// not always UTF-8 (caf\xe9.txt from an older disk): the engine carries each
// byte that is not part of valid UTF-8 as U+DC80..U+DCFF, and so does the
// desktop, as a lone surrogate in a QString, so a path or entry name reaches
// the engine again exactly as the file system spelled it.
namespace EngineText {

// The engine's narrow text (or a file system's bytes) as a QString.
QString fromEngine(const std::string& bytes);
// The QString as the engine's narrow text: escaped bytes come back as they were.
std::string toEngine(const QString& text);
// The local path of a file URL as the file system spells it.
QString localPath(const QUrl& url);
// The program's arguments as the file system spells them, the program's name first.
QStringList arguments(int argc, char** argv);
// For people: each escaped byte shows as U+FFFD.
QString forDisplay(const QString& text);
// The engine's message, with the system's reason on the next line when it carries one.
QString failureText(const ExceptionModule& error);
QString failureText(const std::string& message, const std::string& cause);

} // namespace EngineText
