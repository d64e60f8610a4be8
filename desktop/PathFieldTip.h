#pragma once

class QLineEdit;

// A field that holds a folder or file path: a path longer than the field
// shows its end (the name that tells paths apart), and the tool tip holds
// the whole path.
class PathFieldTip {
public:
    static void attach(QLineEdit* field);
};
