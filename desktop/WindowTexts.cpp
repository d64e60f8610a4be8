#include "desktop/WindowTexts.h"

QString WindowTexts::windowTitle(WindowMode mode)
{
    switch (mode) {
    case VaultMode:
        break;
    case OpenFileMode:
        return QStringLiteral("Open KORVELIN File");
    case FileCreatorMode:
        return QStringLiteral("KORVELIN File Creator");
    }
    return QStringLiteral("KORVELIN Safehold");
}

QString WindowTexts::titleBarText(WindowMode mode)
{
    QString first = QStringLiteral("KORVELIN");
    QString second = QStringLiteral("Safehold");
    if (mode == OpenFileMode) {
        first = QStringLiteral("Open KORVELIN");
        second = QStringLiteral("File");
    } else if (mode == FileCreatorMode) {
        second = QStringLiteral("File Creator");
    }
    // Rich text folds runs of blanks, so the five blanks between the words
    // are kept by white-space: pre.
    return QStringLiteral("<html><head/><body><p style=\"font-size:10pt; white-space:pre;\">"
                          "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;%1<sup>TM</sup>     %2<sup>TM</sup>"
                          "</p></body></html>")
        .arg(first, second);
}
