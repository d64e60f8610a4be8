#include "desktop/dialogs/DialogSkin.h"

#include <QWidget>

#include "desktop/Skin.h"
#include "engine/Kist.h"

void applyStoredSkin(QWidget& dialog, Kist* engine)
{
    if (!engine)
        return;
    QString stored;
    try {
        stored = QString::fromStdString(engine->retrieveConfig("Skin"));
    } catch (const ExceptionModule&) {
        return;
    }
    dialog.setStyleSheet(Skin::fromStored(stored).backgroundRule(dialog.objectName()));
}
