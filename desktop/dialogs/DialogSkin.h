#pragma once

class Kist;
class QWidget;

// Gives a dialog the background of the stored skin ("Skin" setting). A
// setting that cannot be read leaves the dialog as it is.
void applyStoredSkin(QWidget& dialog, Kist* engine);
