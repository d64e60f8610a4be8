#include "desktop/CKMainWindow.h"

#include "desktop/StatusProgress.h"
#include "desktop/WindowTexts.h"
#include "ui_CKMainWindow.h"

namespace {

// The progress strip sits just above the status line, below "Take Out".
const QRect kProgressStripGeometry(30, 298, 371, 20);

} // namespace

CKMainWindow::CKMainWindow(Kist* kist, WindowMode windowMode, QWidget* parent)
    : QMainWindow(parent)
    , engine(kist)
    , mode(windowMode)
    , ui(std::make_unique<Ui::CKMainWindow>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::CustomizeWindowHint);
    setWindowTitle(WindowTexts::windowTitle(mode));
    ui->menuBar->setText(WindowTexts::titleBarText(mode));
    progress = new StatusProgress(ui->centralWidget);
    progress->setGeometry(kProgressStripGeometry);
}

CKMainWindow::~CKMainWindow() = default;

WindowMode CKMainWindow::windowMode() const
{
    return mode;
}

void CKMainWindow::setSelectAllChecked(bool checked)
{
    ui->selectAllcheckBox->setChecked(checked);
}

void CKMainWindow::updateSelectionState()
{
}

ProgressDisplay* CKMainWindow::progressDisplay()
{
    return progress;
}
