#include "ui/choice_list_box.h"

#include <QAbstractButton>
#include <QAccessibleWidget>

namespace {

class TChoiceListAccessible final : public QAccessibleWidget {
public:
    explicit TChoiceListAccessible(QWidget* box) : QAccessibleWidget(box, QAccessible::Grouping) {}

    int childCount() const override { return static_cast<int>(choices().size()); }

    QAccessibleInterface* child(int index) const override
    {
        const QList<QAbstractButton*> all = choices();
        return index >= 0 && index < all.size() ? QAccessible::queryAccessibleInterface(all[index]) : nullptr;
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (!child)
            return -1;
        return static_cast<int>(choices().indexOf(qobject_cast<QAbstractButton*>(child->object())));
    }

private:
    // the controls it holds, without the list's own viewport and scroll bars
    QList<QAbstractButton*> choices() const
    {
        return widget()->findChildren<QAbstractButton*>(QString(), Qt::FindDirectChildrenOnly);
    }
};

QAccessibleInterface* choiceListAccessible(const QString& className, QObject* object)
{
    if (className == QLatin1String(TChoiceListBox::staticMetaObject.className()))
        return new TChoiceListAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

}  // namespace

TChoiceListBox::TChoiceListBox(QWidget* parent) : QListWidget(parent)
{
    QAccessible::installFactory(choiceListAccessible);  // once: a factory installed again is ignored
}
