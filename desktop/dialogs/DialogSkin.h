#pragma once

class Kist;
class QGroupBox;
class QWidget;

// Gives a dialog the background of the stored skin ("Skin" setting). A
// setting that cannot be read leaves the dialog as it is.
void applyStoredSkin(QWidget& dialog, Kist* engine);

// A group box drawn by a style sheet keeps no room for its title: the form
// inside it starts below the title, however large the font.
void keepRoomForTitle(QGroupBox& box);
