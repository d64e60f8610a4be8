#pragma once

#include <QList>
#include <QPointer>
#include <QString>

#include "desktop/Skin.h"

class Kist;
class QMainWindow;
class QMimeData;
class QWidget;

namespace Ui {
class CKMainWindow;
}

// The main window's skin and background picture: applies a skin's rules to
// the window's widgets and to the dialogs it created, shows a dropped
// picture behind the window and on the lock cover, and stores both choices
// in the settings ("Skin", "pixmap").
class WindowLook {
public:
    WindowLook(QMainWindow* window, Ui::CKMainWindow* ui, Kist* engine);

    // A dialog of the window; later skin changes reach it too.
    void addDialog(QWidget* dialog);

    // The stored skin and picture, as the window is built: the stored
    // "black" keeps the built look; any other value applies its skin (an
    // unknown one the black skin). Returns the skin whose action is checked.
    SkinKind applyStoredLook();

    // Applies a skin and stores it; a background picture goes, and its
    // stored "pixmap" is emptied.
    void applySkin(SkinKind kind);

    // Shows the remembered background picture; an empty path or a file that
    // is no picture clears the lock cover's picture.
    void applyBackgroundPicture();

    // Pictures dropped on the window (at most the first 32 addresses); each
    // that loads becomes the background and is stored, each that does not
    // reports "Failed :" with its path in the status line.
    void dropPictures(const QMimeData* data);

    // At a large font a fixed place can be too small for its text: the
    // defaults switch grows around its centre, "Select All" to the right,
    // "Take Out" to the left (its right edge stays in line with the view).
    void fitTexts();

    [[nodiscard]] QString backgroundPicture() const { return picture; }

    static constexpr int kMostDroppedPictures = 32;

private:
    bool showPicture(const QString& path);

    QMainWindow* window;
    Ui::CKMainWindow* ui;
    Kist* engine;
    QList<QPointer<QWidget>> dialogs;
    QString picture;
};
