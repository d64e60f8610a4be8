#include "desktop/dialogs/DialogSkin.h"

#include <QGroupBox>
#include <QLayout>
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

void keepRoomForTitle(QGroupBox& box)
{
    QLayout* form = box.layout();
    if (!form)
        return;
    // The style sheet's font is the box's font once it is polished.
    box.ensurePolished();
    QMargins margins = form->contentsMargins();
    margins.setTop(box.fontMetrics().height() + 8);
    form->setContentsMargins(margins);
}
