#pragma once

#include <string>

class QApplication;

// The offscreen application of a desktop benchmark's child process, made on
// the first call; every message box is answered without being shown.
QApplication& offscreenApplication(const char* programName);

// Throws "failure: <what the program last asked>" when it asked anything.
void throwIfAsked(const std::string& failure);
