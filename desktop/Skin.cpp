#include "desktop/Skin.h"

namespace {

// Shared by every button style: the pressed look. (The missing comma after
// the second stop is how the look has always been written; Qt reads the
// gradient all the same.)
const QString kPressedRule = QStringLiteral(
    " \n QPushButton:pressed {\nbackground: qlineargradient(\n  x1:0, y1:0, x2:0, y2:1,\n  stop:0 #68778e,\n"
    "  stop: 0.4 #5c637d\n  stop: 0.5 #717990,\n  stop:1 #bec1d2\n );\n color: black;\n}");

QString pictureButtonStyle(const QString& picture)
{
    return QStringLiteral("  QPushButton {\n color: white; \n border: 0px ;\nborder-image: url(%1);\n\n}\n")
               .arg(picture)
           + kPressedRule;
}

const QString kBlueGradient = QStringLiteral(
    "qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #bec1d2, stop:0.4 #717990, stop:0.5 #5c637d, stop:1 #68778e)");

} // namespace

Skin::Skin(SkinKind kind)
    : skinKind(kind)
{
}

Skin Skin::fromStored(const QString& stored)
{
    if (stored == QLatin1String("blue"))
        return Skin(SkinKind::Blue);
    if (stored == QLatin1String("pink"))
        return Skin(SkinKind::Pink);
    return Skin(SkinKind::Black);
}

bool Skin::keepsBuiltLook(const QString& stored)
{
    return stored == QLatin1String("black");
}

QString Skin::storedName() const
{
    switch (skinKind) {
    case SkinKind::Black:
        return QStringLiteral("black");
    case SkinKind::Blue:
        return QStringLiteral("blue");
    case SkinKind::Pink:
        return QStringLiteral("pink");
    }
    return QStringLiteral("black");
}

QString Skin::actionText() const
{
    const QString name = storedName();
    return name.left(1).toUpper() + name.mid(1);
}

QString Skin::backgroundRule(const QString& objectName) const
{
    switch (skinKind) {
    case SkinKind::Black:
        return QStringLiteral("QWidget#%1{\n\tborder-image: url(:/images/backgroundRe2.png);\n\n}").arg(objectName);
    case SkinKind::Pink:
        return QStringLiteral("QWidget#%1{\n\tborder-image: url(:/images/pink_background1.png);\n\n}")
            .arg(objectName);
    case SkinKind::Blue:
        break;
    }
    return QStringLiteral("QWidget#%1 {\n border: 0px solid white;\n border-radius: 3px;\n background: qradialgradient(\n"
                          "   cx: 0.5, cy: -1.8,\n   fx: 0.5, fy: 0,\n   radius: 2, \n   stop: 0 #9aa9be,\n"
                          "   stop: 1 #293859);\n  font: bold;\n\t\n}\n")
        .arg(objectName);
}

QString Skin::buttonStyle() const
{
    switch (skinKind) {
    case SkinKind::Black:
        return builtButtonStyle();
    case SkinKind::Pink:
        return pictureButtonStyle(QStringLiteral(":/images/PinkSquareButton.png"));
    case SkinKind::Blue:
        break;
    }
    return QStringLiteral("  QPushButton {\n color: white; \n border: 0px ;\n padding: 1px;\n background: %1;\n\n}\n")
               .arg(kBlueGradient)
           + kPressedRule;
}

QString Skin::titleStyle() const
{
    switch (skinKind) {
    case SkinKind::Black:
        return QStringLiteral("font:bold 10pt;\ncolor: rgb(255, 255, 255);\nborder-image: url(:/images/titlebar.png);");
    case SkinKind::Pink:
        return QStringLiteral(
            "font:bold 10pt;\ncolor: rgb(255, 255, 255);\nborder-image: url(:/images/PinkSquareButton.png);");
    case SkinKind::Blue:
        break;
    }
    return QStringLiteral("font:bold 10pt;\ncolor: rgb(255, 255, 255);\nbackground: %1;").arg(kBlueGradient);
}

const QStringList& Skin::sendButtonNames()
{
    static const QStringList names{QStringLiteral("SystemButton"), QStringLiteral("dropBoxButton"),
                                   QStringLiteral("emailButton")};
    return names;
}

QRect Skin::sendButtonGeometry(const QString& objectName) const
{
    // Every skin puts the e-mail button on top; black keeps square buttons,
    // the others a shorter row.
    int row = 0;
    if (objectName == QLatin1String("dropBoxButton"))
        row = 1;
    else if (objectName == QLatin1String("SystemButton"))
        row = 2;
    if (skinKind == SkinKind::Black)
        return QRect(10, 55 * row, 60, 60);
    return QRect(10, 3 + 55 * row, 60, 52);
}

QList<Skin::WidgetLook> Skin::widgetLooks(const QStringList& dialogNames) const
{
    QList<WidgetLook> looks;
    for (const QString& name : QStringList{QStringLiteral("centralWidget"), QStringLiteral("lockLabel")} + dialogNames)
        looks.append({name, backgroundRule(name), std::nullopt});
    looks.append({QStringLiteral("lockButton"), buttonStyle(), std::nullopt});
    looks.append({QStringLiteral("menuBar"), titleStyle(), std::nullopt});
    for (const QString& name :
         {QStringLiteral("emailButton"), QStringLiteral("dropBoxButton"), QStringLiteral("SystemButton")})
        looks.append({name, buttonStyle(), sendButtonGeometry(name)});
    looks.append({QStringLiteral("extractButton"), buttonStyle(), std::nullopt});
    looks.append({QStringLiteral("restoreButton"), buttonStyle(), std::nullopt});
    return looks;
}

QString Skin::pictureRule(const QString& objectName, const QString& path)
{
    // Quoted, so a path with blanks or brackets still reads as one address.
    QString quoted = path;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QStringLiteral("QWidget#%1{\n\tborder-image: url(\"%2\");\n}").arg(objectName, quoted);
}

QString Skin::builtButtonStyle()
{
    return pictureButtonStyle(QStringLiteral(":/images/button1.png"));
}

QString Skin::pressedRule()
{
    return kPressedRule;
}
