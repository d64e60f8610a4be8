#pragma once

#include <QList>
#include <QObject>

class CKMainWindow;
class QAction;
class QMenu;
class QPoint;
class QWidget;

// What the main window offers besides its buttons, so that it is usable
// with the keyboard alone and without dragging: "Add Files…" and "Add
// Folder…" (Ctrl+O, Ctrl+Shift+O) in the options menu, which add through
// the same path as a drop; Ctrl+L to lock; Ctrl+A to tick every entry; a
// context menu on the vault view with what the buttons offer for the
// ticked entries; the Tab order in the order things are shown; and the
// names a screen reader speaks.
class WindowActions : public QObject {
    Q_OBJECT

public:
    WindowActions(CKMainWindow& window, QMenu& optionsMenu);

    // Enables what the window's state allows (after a lock change or a refresh).
    void updateState();
    // Tab walks the widgets top to bottom as they are shown (the writer
    // shelf's order depends on the skin).
    void orderTabs();
    // The spoken names of the widgets whose text is not their name.
    void nameWidgets();

    void addFiles();
    void addFolder();

    [[nodiscard]] QAction* addFilesAction() const { return addFilesItem; }
    [[nodiscard]] QAction* addFolderAction() const { return addFolderItem; }
    [[nodiscard]] QAction* lockAction() const { return lockItem; }
    [[nodiscard]] QAction* tickAllAction() const { return tickAllItem; }
    [[nodiscard]] QMenu* viewMenu() const { return contextMenu; }

    // The send buttons in the order they are shown, top to bottom.
    [[nodiscard]] QList<QWidget*> shownSendButtons() const;

private:
    [[nodiscard]] bool takesFiles() const;
    [[nodiscard]] bool viewUsable() const;
    void buildViewMenu();
    void prepareViewMenu();
    void showViewMenu(const QPoint& at);

    CKMainWindow& window;
    QAction* addFilesItem = nullptr;
    QAction* addFolderItem = nullptr;
    QAction* lockItem = nullptr;
    QAction* tickAllItem = nullptr;
    QMenu* contextMenu = nullptr;
    QAction* takeOutItem = nullptr;
    QAction* extractItem = nullptr;
    QList<QAction*> sendItems; // folder, Dropbox, e-mail
    QAction* sendEnd = nullptr; // the separator after them
    QAction* selectAllItem = nullptr;
};
