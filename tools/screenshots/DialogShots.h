#pragma once

#include <QString>

class Kist;

// Renders every mode of the sending and password dialogs into out, on the
// given (logged-in) vault, with the stored skin. False when a file failed.
bool shootDialogs(Kist& engine, const QString& out);
