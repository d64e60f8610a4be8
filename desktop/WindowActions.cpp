#include "desktop/WindowActions.h"

#include <QAction>
#include <QDir>
#include <QMenu>
#include <QTreeView>
#include <QUrl>

#include <algorithm>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/FileDialog.h"
#include "ui_CKMainWindow.h"

namespace {

// A tool tip as a menu entry: "Encrypt and email." -> "Encrypt and email".
QString entryText(const QString& toolTip)
{
    QString text = toolTip;
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

QList<QUrl> localUrls(const QStringList& paths)
{
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls.append(QUrl::fromLocalFile(path));
    return urls;
}

} // namespace

WindowActions::WindowActions(CKMainWindow& mainWindow, QMenu& optionsMenu)
    : QObject(&mainWindow)
    , window(mainWindow)
{
    const auto windowAction = [this](const QString& text, const QKeySequence& keys) {
        auto* action = new QAction(text, &window);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        window.addAction(action);
        return action;
    };
    if (window.windowMode() != OpenFileMode) {
        // An opened package takes no files.
        addFilesItem = windowAction(QStringLiteral("Add Files…"), QKeySequence(Qt::CTRL | Qt::Key_O));
        addFolderItem = windowAction(QStringLiteral("Add Folder…"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
        connect(addFilesItem, &QAction::triggered, this, &WindowActions::addFiles);
        connect(addFolderItem, &QAction::triggered, this, &WindowActions::addFolder);
        QAction* first = optionsMenu.actions().value(0);
        optionsMenu.insertAction(first, addFilesItem);
        optionsMenu.insertAction(first, addFolderItem);
        optionsMenu.insertSeparator(first);
    }
    if (window.windowMode() == VaultMode) {
        lockItem = windowAction(QStringLiteral("Lock the Vault"), QKeySequence(Qt::CTRL | Qt::Key_L));
        connect(lockItem, &QAction::triggered, this, [this] {
            if (window.isUnlocked())
                window.form()->lockButton->click();
        });
    }
    // The keyboard's way to the view's menu, under the entry that has the focus.
    auto* menuKey = windowAction(QStringLiteral("Menu"), QKeySequence(Qt::SHIFT | Qt::Key_F10));
    connect(menuKey, &QAction::triggered, this, [this] {
        QTreeView* tree = window.vaultView()->tree();
        if (!tree->isEnabled() || !tree->isVisible())
            return;
        const QRect current = tree->visualRect(tree->currentIndex());
        showViewMenu(current.isValid() ? current.bottomLeft() : QPoint(0, 0));
    });
    tickAllItem = windowAction(QStringLiteral("Select All"), QKeySequence(Qt::CTRL | Qt::Key_A));
    connect(tickAllItem, &QAction::triggered, this, [this] {
        if (!viewUsable())
            return;
        window.vaultView()->setAllTicked(true);
        window.setSelectAllChecked(window.vaultView()->entryCount() > 0);
    });

    buildViewMenu();
    QTreeView* tree = window.vaultView()->tree();
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree, &QWidget::customContextMenuRequested, this, &WindowActions::showViewMenu);
}

bool WindowActions::viewUsable() const
{
    return window.windowMode() != VaultMode || window.isUnlocked();
}

bool WindowActions::takesFiles() const
{
    return window.windowMode() != OpenFileMode && viewUsable();
}

void WindowActions::updateState()
{
    for (QAction* action : {addFilesItem, addFolderItem})
        if (action)
            action->setEnabled(takesFiles());
    if (lockItem)
        lockItem->setEnabled(window.isUnlocked());
    tickAllItem->setEnabled(viewUsable());
    // Locked, what is typed goes to the password; unlocked, to the entries.
    if (window.windowMode() == VaultMode) {
        QWidget* typedInto = window.isUnlocked() ? static_cast<QWidget*>(window.vaultView()->tree())
                                                 : static_cast<QWidget*>(window.form()->password);
        typedInto->setFocus();
    }
}

void WindowActions::addFiles()
{
    if (!takesFiles())
        return;
    const QStringList files =
        FileDialog::getOpenFileNames(&window, QStringLiteral("Add Files"), QDir::homePath());
    if (!files.isEmpty())
        window.vaultView()->addUrls(localUrls(files));
}

void WindowActions::addFolder()
{
    if (!takesFiles())
        return;
    const QString folder = FileDialog::getExistingDirectory(&window, QStringLiteral("Add Folder"), QDir::homePath(),
                                                            QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!folder.isEmpty())
        window.vaultView()->addUrls(localUrls({folder}));
}

QList<QWidget*> WindowActions::shownSendButtons() const
{
    Ui::CKMainWindow* ui = window.form();
    QList<QWidget*> buttons{ui->SystemButton, ui->dropBoxButton, ui->emailButton};
    std::stable_sort(buttons.begin(), buttons.end(), [](QWidget* a, QWidget* b) { return a->y() < b->y(); });
    return buttons;
}

void WindowActions::orderTabs()
{
    Ui::CKMainWindow* ui = window.form();
    QList<QWidget*> chain{ui->password, ui->lockButton};
    chain += shownSendButtons();
    chain += QList<QWidget*>{ui->DefaultButton,     ui->extractButton,  window.vaultView()->tree(),
                             ui->selectAllcheckBox, ui->restoreButton,  ui->writerButton,
                             ui->settingsButton,    ui->minButton,      ui->closeButton};
    for (int i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
}

void WindowActions::nameWidgets()
{
    Ui::CKMainWindow* ui = window.form();
    window.vaultView()->tree()->setAccessibleName(QStringLiteral("Vault entries"));
    window.vaultView()->tree()->setAccessibleDescription(
        QStringLiteral("Tick entries with Space, then take them out or send them"));
    ui->lockLabel->setAccessibleName(QStringLiteral("Vault locked"));
    // The lock button's text is spelled downwards letter by letter, and the
    // defaults switch breaks its text over two lines: spoken, both would garble.
    ui->lockButton->setAccessibleName(entryText(ui->lockButton->toolTip()));
    ui->DefaultButton->setAccessibleName(ui->DefaultButton->text().simplified());
    ui->DefaultButton->setAccessibleDescription(ui->DefaultButton->toolTip());
    ui->writerButton->setAccessibleName(ui->writerButton->toolTip());
}

void WindowActions::buildViewMenu()
{
    Ui::CKMainWindow* ui = window.form();
    contextMenu = new QMenu(window.vaultView());
    contextMenu->setObjectName(QStringLiteral("viewMenu"));
    if (addFilesItem) {
        contextMenu->addAction(addFilesItem);
        contextMenu->addAction(addFolderItem);
        contextMenu->addSeparator();
    }
    if (window.windowMode() == OpenFileMode) {
        extractItem = contextMenu->addAction(entryText(ui->extractButton->toolTip()), &window,
                                             &CKMainWindow::btnRestoreAllFilesTo_Clicked);
    } else {
        if (window.windowMode() == VaultMode)
            takeOutItem = contextMenu->addAction(ui->restoreButton->text(), &window, &CKMainWindow::restore_Clicked);
        sendItems.append(contextMenu->addAction(entryText(ui->SystemButton->toolTip()), &window,
                                                &CKMainWindow::btnExport_Click));
        sendItems.append(contextMenu->addAction(entryText(ui->dropBoxButton->toolTip()), &window,
                                                &CKMainWindow::btnCloud_Click));
        sendItems.append(contextMenu->addAction(entryText(ui->emailButton->toolTip()), &window,
                                                &CKMainWindow::btnEmail_Click));
        sendEnd = contextMenu->addSeparator();
        selectAllItem = contextMenu->addAction(ui->selectAllcheckBox->text());
        selectAllItem->setCheckable(true);
        connect(selectAllItem, &QAction::triggered, this, [this](bool checked) {
            window.vaultView()->setAllTicked(checked);
            window.setSelectAllChecked(checked && window.vaultView()->entryCount() > 0);
        });
    }
    connect(contextMenu, &QMenu::aboutToShow, this, &WindowActions::prepareViewMenu);
}

void WindowActions::prepareViewMenu()
{
    CKDropBox* view = window.vaultView();
    const bool hasEntries = view->entryCount() > 0;
    const bool usable = viewUsable() && hasEntries;
    if (takeOutItem)
        takeOutItem->setEnabled(usable);
    if (extractItem)
        extractItem->setEnabled(hasEntries);
    // The send entries follow the shelf's order in the current skin.
    if (!sendItems.isEmpty()) {
        Ui::CKMainWindow* ui = window.form();
        const QList<QWidget*> shown = shownSendButtons();
        for (QWidget* button : shown) {
            QAction* item = sendItems[button == ui->SystemButton ? 0 : button == ui->dropBoxButton ? 1 : 2];
            contextMenu->removeAction(item);
            contextMenu->insertAction(sendEnd, item);
        }
        for (QAction* item : std::as_const(sendItems))
            item->setEnabled(usable);
    }
    if (selectAllItem) {
        selectAllItem->setEnabled(usable);
        selectAllItem->setChecked(hasEntries && view->selectedCount() == view->entryCount());
    }
}

void WindowActions::showViewMenu(const QPoint& at)
{
    QTreeView* tree = window.vaultView()->tree();
    contextMenu->popup(tree->viewport()->mapToGlobal(at));
}
