#include "desktop/PathFieldTip.h"

#include <QLineEdit>

void PathFieldTip::attach(QLineEdit* field)
{
    QObject::connect(field, &QLineEdit::textChanged, field, [field](const QString& path) {
        field->setToolTip(path);
        // Filled by the program rather than typed: show the end of the path.
        if (!field->hasFocus())
            field->setCursorPosition(static_cast<int>(path.size()));
    });
    field->setToolTip(field->text());
}
