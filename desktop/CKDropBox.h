#pragma once

#include <QModelIndex>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <string>

class EngineCall;
class Kist;
class QFrame;
class QLabel;
class QMimeData;
class QStandardItem;
class QStandardItemModel;
class QTreeView;
class VaultSender;
class VaultViewHost;

// The vault view: a tree of check boxes showing what the engine holds (the
// vault, an opened package or the composer's temporary vault), which takes
// files and folders dropped on it. Top-level entries are ticked; what lies
// inside a folder entry follows its folder's tick, because the engine takes
// out and sends whole top-level entries only.
class CKDropBox : public QWidget {
    Q_OBJECT

public:
    // What an item of the model holds besides its text.
    enum ItemRole {
        EntryNameRole = Qt::UserRole + 1, // the top-level entry's name, on every item of the entry
        IsContentRole,                    // true for what lies inside a folder entry
    };

    CKDropBox(QWidget* parentWindow, VaultViewHost* host, Kist* engine, QLabel* statusLabel);
    ~CKDropBox() override;

    // Rebuilds the tree from the engine; ticks are lost.
    void refresh();
    // Rebuilds the tree after another program changed the vault: ticks and
    // open folders stay where their items remain.
    void refreshKeepingState();
    // Whether the vault's change count moved since the last refresh (another
    // program added or took out entries). One small read of the database.
    [[nodiscard]] bool vaultChangedSinceRefresh();

    // Leaves of the tree (an entry without contents, an empty folder, a file
    // inside a folder) and those of them that are ticked.
    [[nodiscard]] int entryCount() const;
    [[nodiscard]] int selectedCount() const;
    void setAllTicked(bool ticked);
    // Names of the ticked top-level entries and of all of them, in tree order:
    // the names the engine knows its entries by.
    [[nodiscard]] QStringList selectedNames() const;
    [[nodiscard]] QStringList allNames() const;

    [[nodiscard]] bool busy() const { return isBusy; }
    void setBusy(bool on) { isBusy = on; }
    // The status line's text and tool tip.
    void setStatus(const QString& text);

    // Stores one path in the engine, with progress, and refreshes the tree.
    void addPath(const QString& path);
    // Stores dropped URLs one after another: a failed one is reported and the
    // next one still tried; Cancel stops before the next one. The tree is
    // refreshed once afterwards.
    void addUrls(const QList<QUrl>& urls);
    // What a drop on the view does with its data; the window hands it drops
    // that land beside the view.
    void takeDrop(const QMimeData* data);
    // The highlight of a drag over the view.
    void showDropHighlight(bool on);

    // The take-out and send operations on this view; the window owns them.
    void setOperations(VaultSender* sender) { operationsOnView = sender; }
    [[nodiscard]] VaultSender* operations() const { return operationsOnView; }

    [[nodiscard]] QTreeView* tree() const { return treeView; }
    // The frame shown over the tree while files are dragged over it.
    [[nodiscard]] QFrame* dropHighlight() const { return dropFrame; }
    [[nodiscard]] QStandardItemModel* itemModel() const { return model; }

Q_SIGNALS:
    void changed(const QMimeData* data);
    void changed();
    // Every status text, as it is set.
    void statusChanged(const QString& text);

public Q_SLOTS:
    void itemclicked(const QModelIndex& index);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Adds one local path within a run of calls; false when it failed.
    bool addOne(EngineCall& call, const QString& path);
    void reportFailure(const QString& shownPath, const QString& message);
    void giveStateToContents(QStandardItem* item);
    void itemChanged(QStandardItem* item);
    void updateSelectAll();
    void clearHighlight();

    VaultViewHost* host;
    Kist* engine;
    QLabel* statusLabel;
    QTreeView* treeView;
    QStandardItemModel* model;
    bool isBusy = false;
    bool spreadingTicks = false;
    int normalBackgroundRole;
    QFrame* dropFrame;
    VaultSender* operationsOnView = nullptr;
    std::string seenChangeCount;
};
