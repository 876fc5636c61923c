#include "ui/Accessibility.h"

#include <QtQuick/private/qaccessiblequickitem_p.h>
#include <QtQuick/private/qquickitem_p.h>

namespace kitewell {

namespace {

// Qt's own interface for an item, with what its version 6.4 leaves out: the disabled state,
// and a name for every control.
class EnabledAwareQuickItem : public QAccessibleQuickItem {
public:
    using QAccessibleQuickItem::QAccessibleQuickItem;

    // Qt names a button or switch after its text only once it has learnt that assistive
    // technology is on, and never names a password field, whatever it was given: such a
    // field states its name as "accessibleName" instead. A field's text is what the user
    // types (the password, even), so it names only a field that merely shows it (the
    // album picker's).
    QString text(QAccessible::Text kind) const override {
        const QString text = QAccessibleQuickItem::text(kind);
        if (kind != QAccessible::Name || !text.isEmpty())
            return text;
        const QQuickItem* const control = item();
        const bool shows = role() != QAccessible::EditableText ||
                           ((!control->isEnabled() || control->property("readOnly").toBool()) &&
                            control->property("echoMode").toInt() == 0); // TextInput.Normal
        return control->property(shows ? "text" : "accessibleName").toString();
    }

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleQuickItem::state();
        if (!item()->isEnabled()) {
            state.disabled = true;
            state.focusable = false;
        }
        return state;
    }
};

// Consulted before Qt Quick's own factory, for the same items it would serve.
QAccessibleInterface* quickItemInterface(const QString& className, QObject* object) {
    if (className != QLatin1String("QQuickItem"))
        return nullptr;
    auto* item = qobject_cast<QQuickItem*>(object);
    if (!item || !QQuickItemPrivate::get(item)->isAccessible)
        return nullptr;
    return new EnabledAwareQuickItem(item);
}

} // namespace

void reportDisabledItemsToAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(quickItemInterface);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace kitewell
