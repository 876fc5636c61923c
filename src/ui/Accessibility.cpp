#include "ui/Accessibility.h"

#include <QtQuick/private/qaccessiblequickitem_p.h>
#include <QtQuick/private/qquickitem_p.h>

namespace kitewell {

namespace {

// Qt's own interface for an item, with the disabled state that its version 6.4 leaves out.
class EnabledAwareQuickItem : public QAccessibleQuickItem {
public:
    using QAccessibleQuickItem::QAccessibleQuickItem;

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
