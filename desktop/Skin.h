#pragma once

#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>

#include <optional>

enum class SkinKind { Black, Blue, Pink };

// Which style rule goes to which widget of the main window (and its
// dialogs) in each skin. Pure: tests call it without a screen, and the
// window only looks widgets up by object name and hands them the result.
class Skin {
public:
    // What one widget receives when a skin is applied.
    struct WidgetLook {
        QString objectName;
        QString styleSheet;
        std::optional<QRect> geometry; // the send buttons move with the skin
        bool operator==(const WidgetLook& other) const = default;
    };

    explicit Skin(SkinKind kind);

    // The stored "Skin" value: "blue" and "pink" name their skins; anything
    // else, the empty text included, is black.
    [[nodiscard]] static Skin fromStored(const QString& stored);
    // Only the stored value "black" leaves the styles the window was built
    // with (the send buttons still take the skin's order); every other value
    // applies a skin.
    [[nodiscard]] static bool keepsBuiltLook(const QString& stored);

    [[nodiscard]] SkinKind kind() const { return skinKind; }
    // "black", "blue" or "pink": the value stored under "Skin".
    [[nodiscard]] QString storedName() const;
    // "Black", "Blue" or "Pink": the text of the skin's menu action.
    [[nodiscard]] QString actionText() const;

    // The background of centralWidget, lockLabel and the window's dialogs,
    // limited to the widget of that object name.
    [[nodiscard]] QString backgroundRule(const QString& objectName) const;
    // lockButton, the three send buttons, extractButton and restoreButton.
    [[nodiscard]] QString buttonStyle() const;
    // The title bar, menuBar.
    [[nodiscard]] QString titleStyle() const;
    // emailButton, dropBoxButton and SystemButton inside the writer shelf.
    [[nodiscard]] QRect sendButtonGeometry(const QString& objectName) const;

    // Everything applying the skin hands out, in the order it does so:
    // backgrounds (centralWidget, lockLabel, then each dialog), lockButton,
    // menuBar, the send buttons with their places, extractButton, restoreButton.
    [[nodiscard]] QList<WidgetLook> widgetLooks(const QStringList& dialogNames) const;

    // A dropped background picture on the widget of that object name.
    [[nodiscard]] static QString pictureRule(const QString& objectName, const QString& path);

    // The look the window is built with (its form holds the same texts).
    [[nodiscard]] static QString builtButtonStyle();
    [[nodiscard]] static QString pressedRule();

    // The send buttons, top to bottom in the built (black) order.
    static const QStringList& sendButtonNames();

private:
    SkinKind skinKind;
};
