#include "desktop/StatusProgress.h"

#include <QHBoxLayout>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>

namespace {

constexpr int kBarSteps = 1000;

QString sizeText(uint64_t bytes)
{
    return QLocale::c().formattedDataSize(static_cast<qint64>(bytes), 1, QLocale::DataSizeIecFormat);
}

} // namespace

StatusProgress::StatusProgress(QWidget* parent)
    : QWidget(parent)
    , progressBar(new QProgressBar(this))
    , button(new QPushButton(tr("Cancel"), this))
{
    setObjectName(QStringLiteral("statusProgress"));
    progressBar->setObjectName(QStringLiteral("progressBar"));
    button->setObjectName(QStringLiteral("cancelButton"));
    button->setToolTip(tr("Stop after the entry under way; every entry stays whole."));
    button->setAccessibleName(tr("Cancel"));
    button->setFocusPolicy(Qt::NoFocus);
    progressBar->setRange(0, kBarSteps);
    progressBar->setTextVisible(true);
    progressBar->setAlignment(Qt::AlignCenter);
    setStyleSheet(QStringLiteral(
        "QProgressBar { color: white; font: bold 10px; border: 1px solid rgba(255,255,255,120);"
        " border-radius: 3px; background: rgba(0,0,0,90); }"
        "QProgressBar::chunk { background: rgba(110,160,230,200); border-radius: 2px; }"
        "QPushButton { color: white; font: bold 10px; border: 1px solid rgba(255,255,255,140);"
        " border-radius: 3px; background: rgba(60,70,95,220); padding: 0 6px; }"
        "QPushButton:pressed { background: rgba(140,150,175,220); color: black; }"
        "QPushButton:disabled { color: rgba(255,255,255,120); }"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(progressBar, 1);
    layout->addWidget(button);
    connect(button, &QPushButton::clicked, this, &StatusProgress::cancelPressed);
    hide();
}

QString StatusProgress::describe(const KistProgressState& state)
{
    const QString name = QString::fromStdString(state.name);
    if (state.bytesTotal == 0)
        return name;
    return tr("%1 — %2 of %3").arg(name, sizeText(state.bytesDone), sizeText(state.bytesTotal));
}

void StatusProgress::begin(std::function<void()> cancel)
{
    cancelCall = std::move(cancel);
    button->setEnabled(true);
    button->setText(tr("Cancel"));
    progressBar->setMaximum(0); // busy until the engine reports
    progressBar->setFormat(tr("Working..."));
    show();
    raise();
}

void StatusProgress::showProgress(const KistProgressState& state)
{
    if (state.bytesTotal > 0) {
        progressBar->setMaximum(kBarSteps);
        const double share = static_cast<double>(state.bytesDone) / static_cast<double>(state.bytesTotal);
        progressBar->setValue(static_cast<int>(share * kBarSteps));
    }
    QString text = describe(state);
    if (!button->isEnabled())
        text = tr("Stopping after %1").arg(QString::fromStdString(state.name));
    // The bar's own text may not hold a long name: elide it in the middle.
    const int room = progressBar->width() - 8;
    progressBar->setFormat(progressBar->fontMetrics().elidedText(text, Qt::ElideMiddle, room).replace('%', "%%"));
    progressBar->setToolTip(text);
    Q_EMIT progressShown(QString::fromStdString(state.name));
}

void StatusProgress::end()
{
    cancelCall = nullptr;
    hide();
}

QWidget* StatusProgress::inputWidget()
{
    return this;
}

void StatusProgress::cancelPressed()
{
    if (!cancelCall)
        return;
    cancelCall();
    button->setEnabled(false);
    button->setText(tr("Stopping"));
    progressBar->setFormat(tr("Stopping after the entry under way"));
}
