#include "desktop/CKDropBox.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QLabel>
#include <QLoggingCategory>
#include <QMimeData>
#include <QPointer>
#include <QStandardItemModel>
#include <QStyleFactory>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include <optional>
#include <vector>

#include "desktop/EngineCall.h"
#include "desktop/MessageBox.h"
#include "desktop/VaultViewHost.h"
#include "engine/Kist.h"

Q_LOGGING_CATEGORY(vaultViewLog, "korvelin.vaultview", QtWarningMsg)

namespace {

const QSize kViewSize(250, 220);

const char* const kTreeStyle = "QTreeView\n{\n\tborder-image: url(:/images/meterBG.png);\n}\nQTreeView::item \n{\n"
                               "height: 18 px ;\nfont:bold 16pt ;\n//border-bottom:0.5px solid black;\n"
                               "color: rgb(0, 0, 0);\n}\n\nQTreeView::item:selected \n{\nheight: 18 px ;\n"
                               "font:bold 16pt ;\nborder-bottom:0.5px solid black;\ncolor: rgb(255, 255, 255);\n"
                               "\tbackground-color: rgb(150, 150, 150);\n}";

// One top-level entry as the engine listed it, with what lies inside.
struct ListedEntry {
    QString name;
    bool isDirectory = false;
    std::vector<KistEntryContent> contents;
};

struct Listing {
    std::vector<ListedEntry> entries;
    std::optional<QString> failure; // the message of what stopped the listing, if anything
};

// Runs on the worker thread: everything the tree needs from the engine.
Listing readListing(Kist& engine)
{
    Listing listing;
    try {
        std::vector<KistFile*> files;
        engine.listFiles(files);
        std::vector<std::unique_ptr<KistFile>> owned(files.begin(), files.end());
        for (const auto& file : owned) {
            if (!file->note.empty())
                qCDebug(vaultViewLog) << "entry note:" << QString::fromStdString(file->note);
            ListedEntry entry{QString::fromStdString(file->name), file->is_directory, {}};
            if (file->is_directory)
                entry.contents = engine.listEntryContents(file->name);
            listing.entries.push_back(std::move(entry));
        }
    } catch (const ExceptionModule& error) {
        listing.failure = QString::fromStdString(error.getMessage());
    }
    return listing;
}

QStandardItem* newItem(const QString& text, const QString& entryName, bool isContent)
{
    auto* item = new QStandardItem(text);
    item->setEditable(false);
    item->setData(entryName, CKDropBox::EntryNameRole);
    item->setData(isContent, CKDropBox::IsContentRole);
    // What lies inside a folder shows its folder's tick but cannot be ticked alone.
    item->setFlags(isContent ? (Qt::ItemIsEnabled | Qt::ItemIsSelectable)
                             : (Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable));
    item->setCheckState(Qt::Unchecked);
    return item;
}

// The entry's item with its contents below it, built before it joins the
// model so that no view hears of each row on its own.
QStandardItem* buildEntryItem(const ListedEntry& entry)
{
    QStandardItem* top = newItem(entry.name, entry.name, false);
    std::vector<QStandardItem*> parents{top};
    for (const KistEntryContent& content : entry.contents) {
        const auto depth = static_cast<size_t>(std::max(1, content.depth));
        if (depth > parents.size())
            continue; // a malformed depth cannot attach anywhere; the engine never gives one
        parents.resize(depth);
        QStandardItem* item = newItem(QString::fromStdString(content.name), entry.name, true);
        parents.back()->appendRow(item);
        if (content.is_directory)
            parents.push_back(item);
    }
    return top;
}

template <typename Visit>
void forEachItem(QStandardItem* item, const Visit& visit)
{
    visit(item);
    for (int row = 0; row < item->rowCount(); ++row)
        forEachItem(item->child(row), visit);
}

} // namespace

CKDropBox::CKDropBox(QWidget* parentWindow, VaultViewHost* viewHost, Kist* kist, QLabel* label)
    : QWidget(parentWindow)
    , host(viewHost)
    , engine(kist)
    , statusLabel(label)
    , treeView(new QTreeView(this))
    , model(new QStandardItemModel(this))
    , normalBackgroundRole(backgroundRole())
{
    setObjectName(QStringLiteral("CKDropBox"));
    resize(kViewSize);
    setAcceptDrops(true);
    treeView->setObjectName(QStringLiteral("treeView"));
    treeView->setGeometry(QRect(QPoint(0, 0), kViewSize));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(treeView);
    treeView->setModel(model);
    treeView->setHeaderHidden(true);
    treeView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    treeView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    treeView->setUniformRowHeights(true);
    treeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    if (QStyle* windowsStyle = QStyleFactory::create(QStringLiteral("Windows"))) {
        windowsStyle->setParent(treeView);
        treeView->setStyle(windowsStyle);
    }
    treeView->setStyleSheet(QString::fromLatin1(kTreeStyle));
    connect(treeView, &QTreeView::clicked, this, &CKDropBox::itemclicked);
    connect(model, &QStandardItemModel::itemChanged, this, &CKDropBox::itemChanged);
}

CKDropBox::~CKDropBox() = default;

void CKDropBox::setStatus(const QString& text)
{
    statusLabel->setText(text);
    statusLabel->setToolTip(text);
    Q_EMIT statusChanged(text);
}

void CKDropBox::refresh()
{
    model->clear();
    Q_EMIT changed(nullptr);
    // A locked vault shows nothing and asks the logged-off engine nothing.
    if (host->vaultLocked())
        return;

    Listing listing;
    try {
        EngineCall call(*engine, nullptr);
        listing = call.run([this] { return readListing(*engine); });
    } catch (const ExceptionModule& error) {
        listing.failure = QString::fromStdString(error.getMessage());
    }
    QList<QStandardItem*> rows;
    rows.reserve(static_cast<qsizetype>(listing.entries.size()));
    for (const ListedEntry& entry : listing.entries)
        rows.append(buildEntryItem(entry));
    if (!rows.isEmpty())
        model->invisibleRootItem()->appendRows(rows);
    if (listing.failure)
        MessageBox::information(this, QStringLiteral("ERROR!"), *listing.failure);
}

int CKDropBox::entryCount() const
{
    int count = 0;
    forEachItem(model->invisibleRootItem(), [&](QStandardItem* item) {
        if (item != model->invisibleRootItem() && !item->hasChildren())
            ++count;
    });
    return count;
}

int CKDropBox::selectedCount() const
{
    int count = 0;
    forEachItem(model->invisibleRootItem(), [&](QStandardItem* item) {
        if (item != model->invisibleRootItem() && !item->hasChildren() && item->checkState() == Qt::Checked)
            ++count;
    });
    return count;
}

void CKDropBox::setAllTicked(bool ticked)
{
    spreadingTicks = true;
    forEachItem(model->invisibleRootItem(), [&](QStandardItem* item) {
        if (item != model->invisibleRootItem())
            item->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
    });
    spreadingTicks = false;
}

QStringList CKDropBox::selectedNames() const
{
    QStringList names;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QStandardItem* item = model->item(row);
        if (item->checkState() == Qt::Checked)
            names.append(item->data(EntryNameRole).toString());
    }
    return names;
}

QStringList CKDropBox::allNames() const
{
    QStringList names;
    for (int row = 0; row < model->rowCount(); ++row)
        names.append(model->item(row)->data(EntryNameRole).toString());
    return names;
}

void CKDropBox::giveStateToContents(QStandardItem* item)
{
    const Qt::CheckState state = item->checkState();
    spreadingTicks = true;
    forEachItem(item, [&](QStandardItem* below) {
        if (below != item)
            below->setCheckState(state);
    });
    spreadingTicks = false;
}

void CKDropBox::updateSelectAll()
{
    host->setSelectAllChecked(selectedCount() == entryCount());
}

void CKDropBox::itemclicked(const QModelIndex& index)
{
    QStandardItem* item = model->itemFromIndex(index);
    if (!item)
        return;
    // A click inside a folder entry acts on nothing: only the entry is ticked.
    if (!item->data(IsContentRole).toBool())
        giveStateToContents(item);
    updateSelectAll();
}

// Ticking with the keyboard changes the item without a click; its contents
// follow all the same.
void CKDropBox::itemChanged(QStandardItem* item)
{
    if (spreadingTicks || item->data(IsContentRole).toBool())
        return;
    giveStateToContents(item);
    updateSelectAll();
}

void CKDropBox::reportFailure(const QString& shownPath, const QString& message)
{
    setStatus(QStringLiteral("Failed to add %1").arg(shownPath));
    isBusy = false;
    MessageBox::information(this, QStringLiteral("Cannot add file!"), message);
}

bool CKDropBox::addOne(EngineCall& call, const QString& path)
{
    isBusy = true;
    setStatus(QStringLiteral("Adding %1...").arg(path));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ListedEntry added;
    try {
        const std::string narrow = path.toStdString();
        added = call.run([this, &narrow] {
            KistFile record;
            engine->addFile(narrow, &record, false);
            ListedEntry entry{QString::fromStdString(record.name), record.is_directory, {}};
            if (record.is_directory)
                entry.contents = engine->listEntryContents(record.name);
            return entry;
        });
    } catch (const ExceptionModule& error) {
        QApplication::restoreOverrideCursor();
        reportFailure(path, QString::fromStdString(error.getMessage()));
        return false;
    }
    QApplication::restoreOverrideCursor();
    setStatus(QStringLiteral("Added %1").arg(path));
    isBusy = false;
    // The new entry shows at once; the refresh after the last path puts it
    // in its place. Refreshing a large vault after every path would cost
    // far more than the adds of a drop of many small files.
    model->appendRow(buildEntryItem(added));
    return true;
}

void CKDropBox::addPath(const QString& path)
{
    bool added = false;
    {
        EngineCall call(*engine, host->progressDisplay());
        added = addOne(call, path);
    }
    if (added)
        refresh();
}

void CKDropBox::addUrls(const QList<QUrl>& urls)
{
    std::vector<std::string> paths;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) {
            reportFailure(url.toDisplayString(),
                          QStringLiteral("Only files and folders on this computer can be added: %1")
                              .arg(url.toDisplayString()));
            continue;
        }
        paths.push_back(url.toLocalFile().toStdString());
    }
    if (paths.empty()) {
        host->updateSelectionState();
        return;
    }

    // One engine call for the whole drop: the engine adds the paths in
    // batches that share their flushes (a drop of a thousand photos is
    // seconds, not minutes), reports every path in order as its batch ends,
    // and hears Cancel between batches, so every entry stays whole.
    QList<QPair<QString, QString>> failures; // shown path, message
    std::optional<QString> callFailure;
    bool addedAny = false;
    std::size_t reported = 0;
    const auto showOutcome = [this, &failures, &addedAny, &reported](const QString& shown, bool added,
                                                                     const QString& message, const ListedEntry& entry) {
        ++reported;
        setStatus(QStringLiteral("Adding %1...").arg(shown));
        if (added) {
            // The new entry shows at once; the refresh after the drop puts
            // it in its place.
            model->appendRow(buildEntryItem(entry));
            setStatus(QStringLiteral("Added %1").arg(shown));
            addedAny = true;
        } else {
            setStatus(QStringLiteral("Failed to add %1").arg(shown));
            failures.append({shown, message});
        }
    };
    {
        EngineCall call(*engine, host->progressDisplay());
        isBusy = true;
        QApplication::setOverrideCursor(Qt::WaitCursor);
        try {
            call.run([this, &paths, &showOutcome] {
                engine->addFiles(paths, [&](const KistAddOutcome& outcome) {
                    if (outcome.state == KistAddOutcome::State::NotTried)
                        return;
                    const bool added = outcome.state == KistAddOutcome::State::Added;
                    ListedEntry entry{QString::fromStdString(outcome.name), outcome.is_directory, {}};
                    if (added && outcome.is_directory)
                        entry.contents = engine->listEntryContents(outcome.name);
                    // Shown by the GUI thread while the call goes on.
                    QMetaObject::invokeMethod(
                        this,
                        [&showOutcome, shown = QString::fromStdString(outcome.path), added,
                         message = QString::fromStdString(outcome.message), entry] {
                            showOutcome(shown, added, message, entry);
                        },
                        Qt::QueuedConnection);
                });
            });
        } catch (const ExceptionModule& error) {
            // The call as a whole failed (the vault could not be opened):
            // it is reported as the failure of the path it stopped at.
            callFailure = QString::fromStdString(error.getMessage());
        }
        // What the batches reported is shown before anything else.
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        if (callFailure) {
            const QString shown = QString::fromStdString(paths[std::min<std::size_t>(reported, paths.size() - 1)]);
            setStatus(QStringLiteral("Failed to add %1").arg(shown));
            failures.append({shown, *callFailure});
        }
        QApplication::restoreOverrideCursor();
        isBusy = false;
    }
    // The boxes wait for the end of the call, which holds input back.
    for (const auto& [shown, message] : failures)
        MessageBox::information(this, QStringLiteral("Cannot add file!"), message);
    if (addedAny)
        refresh();
    host->updateSelectionState();
}

void CKDropBox::dragEnterEvent(QDragEnterEvent* event)
{
    setBackgroundRole(QPalette::Highlight);
    event->acceptProposedAction();
    Q_EMIT changed(event->mimeData());
}

void CKDropBox::dragMoveEvent(QDragMoveEvent* event)
{
    event->acceptProposedAction();
}

void CKDropBox::clearHighlight()
{
    setBackgroundRole(static_cast<QPalette::ColorRole>(normalBackgroundRole));
}

// The tree stays as it is: a drag passing over the view changes nothing.
void CKDropBox::dragLeaveEvent(QDragLeaveEvent* event)
{
    clearHighlight();
    event->accept();
    Q_EMIT changed(nullptr);
}

void CKDropBox::dropEvent(QDropEvent* event)
{
    clearHighlight();
    event->acceptProposedAction();
    if (host->windowMode() == OpenFileMode)
        return;
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty())
        return;
    // The drop returns at once, so the program the files came from is not
    // held until a large add has finished.
    QTimer::singleShot(0, this, [this, urls] { addUrls(urls); });
}
