#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTreeView>
#include <QVBoxLayout>

#include "desktop/CKDropBox.h"
#include "desktop/ElidedLabel.h"
#include "desktop/EngineCall.h"
#include "desktop/StatusProgress.h"
#include "desktop/VaultViewHost.h"
#include "tests/desktop/DesktopTestSupport.h"

namespace {

// Stands in for the main window: a status line, a "Select All" box and a
// progress strip, and a count of the selection updates the view asked for.
class FakeWindow : public QWidget, public VaultViewHost {
public:
    explicit FakeWindow(WindowMode windowMode)
        : mode(windowMode)
        , status(new ElidedLabel(this))
        , selectAll(new QCheckBox(QStringLiteral("Select All"), this))
        , progress(new StatusProgress(this))
    {
        resize(420, 350);
        status->setGeometry(30, 320, 371, 20);
        selectAll->setGeometry(150, 270, 71, 17);
        progress->setGeometry(30, 298, 371, 20);
    }

    WindowMode windowMode() const override { return mode; }
    void setSelectAllChecked(bool checked) override { selectAll->setChecked(checked); }
    void updateSelectionState() override { ++selectionUpdates; }
    ProgressDisplay* progressDisplay() override { return progress; }

    WindowMode mode;
    ElidedLabel* status;
    QCheckBox* selectAll;
    StatusProgress* progress;
    int selectionUpdates = 0;
};

QList<QUrl> localUrls(const QStringList& paths)
{
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls.append(QUrl::fromLocalFile(path));
    return urls;
}

void drop(QWidget* target, const QList<QUrl>& urls)
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent dropped(QPointF(20, 20), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropped);
}

// Where the check box of the item at index lies in the tree's viewport.
QPoint checkBoxOf(QTreeView* tree, const QModelIndex& index)
{
    const QRect rect = tree->visualRect(index);
    return QPoint(rect.left() + rect.height() / 2, rect.center().y());
}

} // namespace

class VaultViewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        desktoptest::resetProfile();
        desktoptest::clearDialogHooks();
        engine = desktoptest::openVault();
        makeView(VaultMode);
    }

    void cleanup()
    {
        window.reset();
        engine.reset();
    }

    void dropsAddEachPathInTurnAndShowAllOfThem()
    {
        const QString in = desktoptest::makeFolder("in");
        QStringList paths;
        for (const char* name : {"one.txt", "two.txt", "it's three.txt"})
            paths.append(desktoptest::writeFile(in + "/" + name, QByteArray(name)));
        // Each entry shows as soon as it is stored, before the next path.
        QList<int> shownWhenAdding;
        connect(view, &CKDropBox::statusChanged, this, [&](const QString& text) {
            if (text.startsWith("Adding "))
                shownWhenAdding.append(view->itemModel()->rowCount());
        });
        drop(view, localUrls(paths));
        QTRY_COMPARE(window->selectionUpdates, 1);

        QCOMPARE(shownWhenAdding, (QList<int>{0, 1, 2}));
        QCOMPARE(statuses, (QStringList{"Adding " + paths[0] + "...", "Added " + paths[0], "Adding " + paths[1] + "...",
                                        "Added " + paths[1], "Adding " + paths[2] + "...", "Added " + paths[2]}));
        QCOMPARE(view->allNames(), (QStringList{"it's three.txt", "one.txt", "two.txt"}));
        QCOMPARE(view->entryCount(), 3);
        QCOMPARE(window->status->toolTip(), "Added " + paths[2]);
        QVERIFY(!view->busy());
        QVERIFY(MessageBox::asked().isEmpty());
    }

    void aFailedPathIsReportedAndTheNextOneStillTried()
    {
        const QString in = desktoptest::makeFolder("in");
        const QString good = desktoptest::writeFile(in + "/good.txt", "good");
        const QString missing = in + "/missing.txt";
        drop(view, {QUrl(QStringLiteral("https://example.com/remote.txt")), QUrl::fromLocalFile(missing),
                    QUrl::fromLocalFile(good)});
        QTRY_COMPARE(window->selectionUpdates, 1);

        QCOMPARE(statuses, (QStringList{"Failed to add https://example.com/remote.txt", "Adding " + missing + "...",
                                        "Failed to add " + missing, "Adding " + good + "...", "Added " + good,
                                        "Added 1 of 3; 2 not added (failed)"}));
        QCOMPARE(MessageBox::asked().size(), 2);
        QCOMPARE(MessageBox::asked()[0].title, QStringLiteral("Cannot add file!"));
        QVERIFY(MessageBox::asked()[0].text.contains("https://example.com/remote.txt"));
        QVERIFY(MessageBox::asked()[0].text.contains("on this computer"));
        QCOMPARE(MessageBox::asked()[1].title, QStringLiteral("Cannot add file!"));
        QVERIFY(MessageBox::asked()[1].text.contains(missing));
        QCOMPARE(MessageBox::asked()[1].parentName, QStringLiteral("CKDropBox"));
        QCOMPARE(view->allNames(), QStringList{"good.txt"});
        QCOMPARE(desktoptest::listedNames(*engine), QStringList{"good.txt"});
    }

    void aPackageWindowTakesNoDrops()
    {
        makeView(OpenFileMode);
        const QString file = desktoptest::writeFile(desktoptest::makeFolder("in") + "/kept.txt", "kept");
        drop(view, localUrls({file}));
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(statuses.isEmpty());
        QVERIFY(QFileInfo::exists(file));
        QVERIFY(desktoptest::listedNames(*engine).isEmpty());
    }

    void aDragThatLeavesKeepsTheTree()
    {
        const QString file = desktoptest::writeFile(desktoptest::makeFolder("in") + "/a.txt", "a");
        engine->addFile(file.toStdString(), nullptr, false);
        view->refresh();
        const QPalette::ColorRole normalRole = view->backgroundRole();
        qRegisterMetaType<const QMimeData*>();
        QSignalSpy changes(view, qOverload<const QMimeData*>(&CKDropBox::changed));

        QMimeData data;
        data.setUrls({QUrl::fromLocalFile("/elsewhere/b.txt")});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &enter);
        QCOMPARE(view->backgroundRole(), QPalette::Highlight);
        QDragLeaveEvent leave;
        QApplication::sendEvent(view, &leave);

        QCOMPARE(view->backgroundRole(), normalRole);
        QCOMPARE(view->allNames(), QStringList{"a.txt"});
        QCOMPARE(changes.count(), 2);
        QVERIFY(changes.first().at(0).value<const QMimeData*>() == &data);
        QVERIFY(changes.last().at(0).value<const QMimeData*>() == nullptr);
    }

    void foldersShowTheirContentsAndTickAsAWhole()
    {
        const QString in = desktoptest::makeFolder("in");
        desktoptest::writeFile(in + "/Albums/b.txt", "bbb");
        QDir().mkpath(in + "/Albums/Empty");
        desktoptest::writeFile(in + "/Albums/a sub/Z.txt", "zzzzz");
        desktoptest::writeFile(in + "/Albums/a sub/y.txt", "yy");
        desktoptest::writeFile(in + "/single.txt", "s");
        QDir().mkpath(in + "/Nothing");
        for (const char* name : {"Albums", "single.txt", "Nothing"})
            engine->addFile((in + "/" + name).toStdString(), nullptr, false);
        view->refresh();

        QStandardItemModel* model = view->itemModel();
        QCOMPARE(view->allNames(), (QStringList{"Albums", "Nothing", "single.txt"}));
        QStandardItem* albums = model->item(0);
        QCOMPARE(albums->rowCount(), 3);
        QCOMPARE(albums->child(0)->text(), QStringLiteral("a sub"));
        QCOMPARE(albums->child(0)->child(1)->text(), QStringLiteral("Z.txt"));
        QCOMPARE(albums->child(2)->text(), QStringLiteral("Empty"));
        QVERIFY(!model->item(1)->hasChildren());
        // Leaves: y.txt, Z.txt, b.txt, the empty sub-folder; the empty entry; the file.
        QCOMPARE(view->entryCount(), 6);

        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTreeView* tree = view->tree();
        tree->expandAll();
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, checkBoxOf(tree, albums->index()));
        QCOMPARE(albums->checkState(), Qt::Checked);
        QCOMPARE(albums->child(0)->child(1)->checkState(), Qt::Checked);
        QCOMPARE(view->selectedCount(), 4);
        QCOMPARE(view->selectedNames(), QStringList{"Albums"});
        QVERIFY(!window->selectAll->isChecked());

        // What lies inside a folder cannot be unticked on its own.
        QStandardItem* inner = albums->child(1);
        QVERIFY(!(inner->flags() & Qt::ItemIsUserCheckable));
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, checkBoxOf(tree, inner->index()));
        QCOMPARE(inner->checkState(), Qt::Checked);
        QCOMPARE(view->selectedNames(), QStringList{"Albums"});

        for (int row : {1, 2})
            QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, checkBoxOf(tree, model->index(row, 0)));
        QCOMPARE(view->selectedCount(), view->entryCount());
        QVERIFY(window->selectAll->isChecked());

        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, checkBoxOf(tree, albums->index()));
        QCOMPARE(albums->child(0)->child(0)->checkState(), Qt::Unchecked);
        QCOMPARE(view->selectedNames(), (QStringList{"Nothing", "single.txt"}));
        QCOMPARE(view->selectedCount(), 2);
        QVERIFY(!window->selectAll->isChecked());

        view->setAllTicked(true);
        QCOMPARE(view->selectedNames(), view->allNames());
        view->setAllTicked(false);
        QCOMPARE(view->selectedCount(), 0);
        QVERIFY(view->selectedNames().isEmpty());
    }

    void aListingThatFailsShowsTheEnginesMessage()
    {
        engine->logoff();
        view->refresh();
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("ERROR!"));
        QCOMPARE(MessageBox::lastAsked().text,
                 QStringLiteral("Cannot use this feature until you enter your password."));
        QCOMPARE(view->entryCount(), 0);
    }

    void cancelStopsAfterTheBatchUnderWay()
    {
        // A drop is added in batches of at most 8 MiB that share their flushes;
        // Cancel is heard between them.
        const QString in = desktoptest::makeFolder("in");
        QStringList paths;
        for (int i = 1; i <= 40; ++i)
            paths.append(desktoptest::writeFile(QStringLiteral("%1/file%2.bin").arg(in).arg(i, 2, 10, QChar('0')),
                                                512 * 1024, i));
        QList<QByteArray> contents;
        for (const QString& path : paths)
            contents.append(desktoptest::readFile(path));
        window->show();
        connect(window->progress, &StatusProgress::progressShown, this, [this](const QString&) {
            if (window->progress->cancelButton()->isEnabled())
                QTest::mouseClick(window->progress->cancelButton(), Qt::LeftButton);
        });
        drop(view, localUrls(paths));
        QTRY_COMPARE(window->selectionUpdates, 1);

        const QStringList stored = desktoptest::listedNames(*engine);
        QVERIFY2(!stored.isEmpty() && stored.size() < 40, qPrintable(stored.join(", ")));
        QCOMPARE(view->allNames(), stored);
        QVERIFY(!window->progress->isVisible());
        // The status tells of the paths that were not added.
        QCOMPARE(statuses.last(), QStringLiteral("Added %1 of 40; %2 not added (cancelled)")
                                      .arg(stored.size())
                                      .arg(40 - stored.size()));
        // Each file is either whole in the vault or untouched where it was.
        const QString out = desktoptest::makeFolder("out");
        for (int i = 0; i < paths.size(); ++i) {
            const QString name = QFileInfo(paths[i]).fileName();
            if (stored.contains(name)) {
                QVERIFY(!QFileInfo::exists(paths[i]));
                engine->removeFile(name.toStdString(), out.toStdString());
                QCOMPARE(desktoptest::readFile(out + "/" + name), contents[i]);
            } else {
                QCOMPARE(desktoptest::readFile(paths[i]), contents[i]);
            }
        }
    }

private:
    void makeView(WindowMode mode)
    {
        window = std::make_unique<FakeWindow>(mode);
        view = new CKDropBox(window.get(), window.get(), engine.get(), window->status);
        view->move(150, 46);
        statuses.clear();
        connect(view, &CKDropBox::statusChanged, this, [this](const QString& text) { statuses.append(text); });
    }

    std::unique_ptr<Kist> engine;
    std::unique_ptr<FakeWindow> window;
    CKDropBox* view = nullptr;
    QStringList statuses;
};

VAULTDESK_TEST_MAIN(VaultViewTest)
#include "VaultViewTest.moc"
