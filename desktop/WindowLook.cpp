#include "desktop/WindowLook.h"

#include <QCheckBox>
#include <QDebug>
#include <QMainWindow>
#include <QMimeData>
#include <QPixmap>
#include <QStyle>
#include <QUrl>

#include <algorithm>

#include "engine/Kist.h"
#include "ui_CKMainWindow.h"

namespace {

const char* const kSkinSetting = "Skin";
const char* const kPixmapSetting = "pixmap";

// The room the text of button needs beside its icon or box.
QSize textRoom(QAbstractButton* button)
{
    button->ensurePolished();
    QSize room = QFontMetrics(button->font()).size(Qt::TextShowMnemonic, button->text());
    if (!button->icon().isNull())
        room.rwidth() += button->iconSize().width() + 4;
    if (qobject_cast<QCheckBox*>(button))
        room.rwidth() += button->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, button) +
                         button->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, button);
    return room + QSize(4, 2);
}

enum class Growth { AroundCentre, ToTheRight, ToTheLeft };

void growToText(QAbstractButton* button, Growth growth)
{
    const QSize room = textRoom(button);
    QRect place = button->geometry();
    const int extraWidth = std::max(0, room.width() - place.width());
    const int extraHeight = std::max(0, room.height() - place.height());
    if (extraWidth == 0 && extraHeight == 0)
        return;
    if (growth == Growth::AroundCentre)
        place.adjust(-extraWidth / 2, -extraHeight / 2, extraWidth - extraWidth / 2, extraHeight - extraHeight / 2);
    else if (growth == Growth::ToTheLeft)
        place.adjust(-extraWidth, 0, 0, extraHeight);
    else
        place.adjust(0, 0, extraWidth, extraHeight);
    button->setGeometry(place);
}

} // namespace

void WindowLook::fitTexts()
{
    growToText(ui->DefaultButton, Growth::AroundCentre);
    growToText(ui->selectAllcheckBox, Growth::ToTheRight);
    growToText(ui->restoreButton, Growth::ToTheLeft);
    growToText(ui->lockButton, Growth::AroundCentre);
}

WindowLook::WindowLook(QMainWindow* mainWindow, Ui::CKMainWindow* form, Kist* kist)
    : window(mainWindow)
    , ui(form)
    , engine(kist)
{
}

void WindowLook::addDialog(QWidget* dialog)
{
    dialogs.append(dialog);
}

SkinKind WindowLook::applyStoredLook()
{
    const QString stored = QString::fromStdString(engine->retrieveConfig(kSkinSetting));
    const Skin skin = Skin::fromStored(stored);
    if (!Skin::keepsBuiltLook(stored)) {
        applySkin(skin.kind());
    } else {
        // The built look is black's, but the send buttons take the skin's
        // order, as a change of skin gives them: a button is where the user
        // last saw it.
        for (const QString& name : Skin::sendButtonNames())
            if (QWidget* button = window->findChild<QWidget*>(name))
                button->setGeometry(skin.sendButtonGeometry(name));
    }
    picture = QString::fromStdString(engine->retrieveConfig(kPixmapSetting));
    if (!picture.isEmpty())
        applyBackgroundPicture();
    return skin.kind();
}

void WindowLook::applySkin(SkinKind kind)
{
    const Skin skin(kind);
    QStringList dialogNames;
    QList<QWidget*> dialogWidgets;
    for (const QPointer<QWidget>& dialog : dialogs) {
        if (dialog) {
            dialogNames.append(dialog->objectName());
            dialogWidgets.append(dialog);
        }
    }
    for (const Skin::WidgetLook& look : skin.widgetLooks(dialogNames)) {
        QWidget* widget = window->findChild<QWidget*>(look.objectName);
        if (!widget) {
            for (QWidget* dialog : dialogWidgets)
                if (dialog->objectName() == look.objectName)
                    widget = dialog;
        }
        if (!widget)
            continue;
        widget->setStyleSheet(look.styleSheet);
        if (look.geometry)
            widget->setGeometry(*look.geometry);
    }
    engine->persistConfig(kSkinSetting, skin.storedName().toStdString());
    if (!picture.isEmpty()) {
        engine->persistConfig(kPixmapSetting, "");
        picture.clear();
        applyBackgroundPicture();
    }
}

bool WindowLook::showPicture(const QString& path)
{
    QPixmap pixmap;
    if (path.isEmpty() || !pixmap.load(path))
        return false;
    ui->centralWidget->setStyleSheet(Skin::pictureRule(ui->centralWidget->objectName(), path));
    ui->lockLabel->setPixmap(pixmap.scaled(ui->lockLabel->size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    return true;
}

void WindowLook::applyBackgroundPicture()
{
    if (!showPicture(picture))
        ui->lockLabel->setPixmap(QPixmap());
}

void WindowLook::dropPictures(const QMimeData* data)
{
    if (!data || !data->hasUrls()) {
        qDebug() << "Cannot display data";
        return;
    }
    const QList<QUrl> urls = data->urls().mid(0, kMostDroppedPictures);
    for (const QUrl& url : urls) {
        const QString path = url.isLocalFile() ? url.toLocalFile() : url.toDisplayString();
        ui->InfoLabel->setText(path);
        ui->InfoLabel->setToolTip(path);
        if (url.isLocalFile() && showPicture(path)) {
            engine->persistConfig(kPixmapSetting, path.toStdString());
            picture = path;
        } else {
            const QString failed = QStringLiteral("Failed :%1").arg(path);
            ui->InfoLabel->setText(failed);
            ui->InfoLabel->setToolTip(failed);
        }
    }
}
