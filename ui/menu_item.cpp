#include "ui/menu_item.h"

namespace brennick {

MenuItem::MenuItem(const QString& title, QObject* parent) : QAction(title, parent)
{
    // A checkable QAction flips its check mark before `triggered` is emitted; put the mark back
    // to what the state says, so only setState changes what the item shows.
    connect(this, &QAction::toggled, this, [this](bool checked) {
        if (checked != (state_ != 0))
            showState();
    });
}

void MenuItem::setState(qint64 state)
{
    state_ = state;
    if (state != 0 && !isCheckable())
        setCheckable(true);
    showState();
}

void MenuItem::showState()
{
    if (isCheckable())
        setChecked(state_ != 0);
}

}  // namespace brennick
