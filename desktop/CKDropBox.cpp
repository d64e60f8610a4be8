#include "desktop/CKDropBox.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QFrame>
#include <QLabel>
#include <QLoggingCategory>
#include <QMimeData>
#include <QPointer>
#include <QSet>
#include <QStandardItemModel>
#include <QStyleFactory>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include <optional>
#include <vector>

#include "desktop/EngineCall.h"
#include "desktop/EngineText.h"
#include "desktop/MessageBox.h"
#include "desktop/VaultViewHost.h"
#include "engine/Kist.h"

Q_LOGGING_CATEGORY(vaultViewLog, "korvelin.vaultview", QtWarningMsg)

namespace {

const QSize kViewSize(250, 220);

const char* const kDropHighlightStyle = "QFrame#dropHighlight{\nborder: 3px solid rgb(255, 200, 60);\n"
                                        "border-radius: 4px;\nbackground: rgba(255, 200, 60, 70);\n}";

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
    std::string changeCount;        // the vault's change count before the listing was read
};

// Runs on the worker thread: everything the tree needs from the engine.
Listing readListing(Kist& engine)
{
    Listing listing;
    try {
        // Read first: a change that lands while the listing is read moves
        // the count past this one and is looked at again. Without it the
        // listing still stands; the window only cannot follow other programs.
        try {
            listing.changeCount = engine.changeCount();
        } catch (const ExceptionModule& error) {
            qCWarning(vaultViewLog) << "change count not read:" << EngineText::failureText(error);
        }
        std::vector<KistFile*> files;
        engine.listFiles(files);
        std::vector<std::unique_ptr<KistFile>> owned(files.begin(), files.end());
        for (const auto& file : owned) {
            if (!file->note.empty())
                qCDebug(vaultViewLog) << "entry note:" << QString::fromStdString(file->note);
            ListedEntry entry{EngineText::fromEngine(file->name), file->is_directory, {}};
            if (file->is_directory)
                entry.contents = engine.listEntryContents(file->name);
            listing.entries.push_back(std::move(entry));
        }
    } catch (const ExceptionModule& error) {
        listing.failure = EngineText::failureText(error);
    }
    return listing;
}

// A drop that did not add every path says how many and why.
QString dropSummary(int added, int total, int failed, int cancelled)
{
    QString why;
    if (failed > 0 && cancelled > 0)
        why = QStringLiteral("%1 failed, %2 cancelled").arg(failed).arg(cancelled);
    else
        why = failed > 0 ? QStringLiteral("failed") : QStringLiteral("cancelled");
    return QStringLiteral("Added %1 of %2; %3 not added (%4)").arg(added).arg(total).arg(failed + cancelled).arg(why);
}

QStandardItem* newItem(const QString& text, const QString& entryName, bool isContent)
{
    auto* item = new QStandardItem(EngineText::forDisplay(text));
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
        QStandardItem* item = newItem(EngineText::fromEngine(content.name), entry.name, true);
        parents.back()->appendRow(item);
        if (content.is_directory)
            parents.push_back(item);
    }
    return top;
}

// The contents of a folder just added; the refresh after the drop shows
// them when they cannot be read now. The add itself stands either way.
std::vector<KistEntryContent> contentsOrNothing(Kist& engine, const std::string& name)
{
    try {
        return engine.listEntryContents(name);
    } catch (const ExceptionModule& error) {
        qCWarning(vaultViewLog) << "contents of a new entry not read:" << EngineText::failureText(error);
        return {};
    }
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
    , dropFrame(new QFrame(this))
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

    // The tree paints its own picture over the widget's background, so the
    // highlight of a drag is a frame laid over it, which the drop passes through.
    dropFrame->setObjectName(QStringLiteral("dropHighlight"));
    dropFrame->setStyleSheet(QString::fromLatin1(kDropHighlightStyle));
    dropFrame->setAttribute(Qt::WA_TransparentForMouseEvents);
    dropFrame->setGeometry(QRect(QPoint(0, 0), kViewSize));
    dropFrame->hide();
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
        listing.failure = EngineText::failureText(error);
    }
    seenChangeCount = listing.changeCount;
    QList<QStandardItem*> rows;
    rows.reserve(static_cast<qsizetype>(listing.entries.size()));
    for (const ListedEntry& entry : listing.entries)
        rows.append(buildEntryItem(entry));
    if (!rows.isEmpty())
        model->invisibleRootItem()->appendRows(rows);
    if (listing.failure)
        MessageBox::information(this, QStringLiteral("ERROR!"), *listing.failure);
}

void CKDropBox::refreshKeepingState()
{
    // Items are known by their entry's name and their path inside it.
    const auto keyOf = [](const QStandardItem* item) {
        QStringList path;
        for (const QStandardItem* at = item; at != nullptr; at = at->parent())
            path.prepend(at->text());
        return item->data(EntryNameRole).toString() + QChar(u'\0') + path.join(QChar(u'/'));
    };
    QSet<QString> ticked;
    QSet<QString> expanded;
    forEachItem(model->invisibleRootItem(), [&](QStandardItem* item) {
        if (item == model->invisibleRootItem())
            return;
        if (item->checkState() == Qt::Checked && !item->data(IsContentRole).toBool())
            ticked.insert(keyOf(item));
        if (item->hasChildren() && treeView->isExpanded(item->index()))
            expanded.insert(keyOf(item));
    });
    refresh();
    forEachItem(model->invisibleRootItem(), [&](QStandardItem* item) {
        if (item == model->invisibleRootItem())
            return;
        const QString key = keyOf(item);
        if (ticked.contains(key)) {
            item->setCheckState(Qt::Checked);
            giveStateToContents(item);
        }
        if (expanded.contains(key))
            treeView->expand(item->index());
    });
    if (!ticked.isEmpty())
        updateSelectAll();
}

bool CKDropBox::vaultChangedSinceRefresh()
{
    if (seenChangeCount.empty())
        return false;
    return engine->changeCount() != seenChangeCount;
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
    const QString shown = EngineText::forDisplay(path);
    isBusy = true;
    setStatus(QStringLiteral("Adding %1...").arg(shown));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ListedEntry added;
    try {
        const std::string narrow = EngineText::toEngine(path);
        added = call.run([this, &narrow] {
            KistFile record;
            engine->addFile(narrow, &record, false);
            ListedEntry entry{EngineText::fromEngine(record.name), record.is_directory, {}};
            if (record.is_directory)
                entry.contents = contentsOrNothing(*engine, record.name);
            return entry;
        });
    } catch (const ExceptionModule& error) {
        QApplication::restoreOverrideCursor();
        reportFailure(shown, EngineText::failureText(error));
        return false;
    }
    QApplication::restoreOverrideCursor();
    setStatus(QStringLiteral("Added %1").arg(shown));
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
    QList<QPair<QString, QString>> failures; // shown path, message
    std::vector<std::string> paths;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) {
            const QString shown = url.toDisplayString();
            setStatus(QStringLiteral("Failed to add %1").arg(shown));
            failures.append({shown, QStringLiteral("Only files and folders on this computer can be added: %1").arg(shown)});
            continue;
        }
        // The file system's own bytes, whatever their encoding.
        paths.push_back(EngineText::toEngine(EngineText::localPath(url)));
    }

    // One engine call for the whole drop: the engine adds the paths in
    // batches that share their flushes (a drop of a thousand photos is
    // seconds, not minutes), reports every path in order as its batch ends,
    // and hears Cancel between batches, so every entry stays whole.
    std::optional<QString> callFailure;
    int added = 0;
    int cancelled = 0;
    std::size_t reported = 0;
    const auto showOutcome = [this, &failures, &added, &cancelled, &reported](
                                 const QString& shown, KistAddOutcome::State state, const QString& message,
                                 const ListedEntry& entry) {
        ++reported;
        if (state == KistAddOutcome::State::NotTried) {
            ++cancelled;
            return;
        }
        setStatus(QStringLiteral("Adding %1...").arg(shown));
        if (state == KistAddOutcome::State::Added) {
            // The new entry shows at once; the refresh after the drop puts
            // it in its place.
            model->appendRow(buildEntryItem(entry));
            setStatus(QStringLiteral("Added %1").arg(shown));
            ++added;
        } else {
            setStatus(QStringLiteral("Failed to add %1").arg(shown));
            failures.append({shown, message});
        }
    };
    if (!paths.empty()) {
        EngineCall call(*engine, host->progressDisplay());
        isBusy = true;
        QApplication::setOverrideCursor(Qt::WaitCursor);
        try {
            call.run([this, &paths, &showOutcome] {
                engine->addFiles(paths, [&](const KistAddOutcome& outcome) {
                    ListedEntry entry{EngineText::fromEngine(outcome.name), outcome.is_directory, {}};
                    if (outcome.state == KistAddOutcome::State::Added && outcome.is_directory)
                        entry.contents = contentsOrNothing(*engine, outcome.name);
                    // Shown by the GUI thread while the call goes on.
                    QMetaObject::invokeMethod(
                        this,
                        [&showOutcome, shown = EngineText::forDisplay(EngineText::fromEngine(outcome.path)),
                         state = outcome.state, message = EngineText::failureText(outcome.message, outcome.cause),
                         entry] { showOutcome(shown, state, message, entry); },
                        Qt::QueuedConnection);
                });
            });
        } catch (const ExceptionModule& error) {
            // The call as a whole failed (the vault could not be opened):
            // no path it had not reported yet was added.
            callFailure = EngineText::failureText(error);
        }
        // What the batches reported is shown before anything else.
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        if (callFailure) {
            // One box for the call; the summary counts every path it left.
            if (reported < paths.size())
                setStatus(QStringLiteral("Failed to add %1")
                              .arg(EngineText::forDisplay(EngineText::fromEngine(paths[reported]))));
            failures.append({QString(), *callFailure});
        }
        QApplication::restoreOverrideCursor();
        isBusy = false;
    }
    const int total = static_cast<int>(urls.size());
    if (total > 1 && added < total)
        setStatus(dropSummary(added, total, total - added - cancelled, cancelled));
    // The boxes wait for the end of the call, which holds input back.
    for (const auto& [shown, message] : failures)
        MessageBox::information(this, QStringLiteral("Cannot add file!"), message);
    if (added > 0)
        refresh();
    host->updateSelectionState();
}

void CKDropBox::dragEnterEvent(QDragEnterEvent* event)
{
    showDropHighlight(true);
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
    dropFrame->hide();
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
    takeDrop(event->mimeData());
}

void CKDropBox::showDropHighlight(bool on)
{
    if (!on) {
        clearHighlight();
        return;
    }
    setBackgroundRole(QPalette::Highlight);
    dropFrame->setGeometry(rect());
    dropFrame->show();
    dropFrame->raise();
}

void CKDropBox::takeDrop(const QMimeData* data)
{
    if (host->windowMode() == OpenFileMode || !data)
        return;
    const QList<QUrl> urls = data->urls();
    if (urls.isEmpty())
        return;
    // The drop returns at once, so the program the files came from is not
    // held until a large add has finished.
    QTimer::singleShot(0, this, [this, urls] { addUrls(urls); });
}
