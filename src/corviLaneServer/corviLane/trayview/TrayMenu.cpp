#include "TrayMenu.h"

#include "AppDelegate.h"

#include <QAction>

TrayMenu::TrayMenu(AppDelegate& delegate) : m_Delegate(delegate) {
    for (const MenuItem& item : m_Delegate.menu()) {
        QAction* action = item.separator ? addSeparator() : addAction(QString::fromStdString(item.title));
        action->setObjectName(QString::fromStdString(item.keyEquivalent));
        action->setEnabled(item.separator || item.action != MenuAction::None);
        const MenuAction what = item.action;
        connect(action, &QAction::triggered, this, [this, what] {
            m_Delegate.perform(what);
            showTitles();
        });
        m_Rows.push_back(action);
    }
}

void TrayMenu::showTitles() {
    const std::vector<MenuItem>& items = m_Delegate.menu();
    for (std::size_t row = 0; row < items.size() && row < m_Rows.size(); ++row) {
        if (!items[row].separator) m_Rows[row]->setText(QString::fromStdString(items[row].title));
    }
    for (QAction* tablet : m_Tablets) {
        removeAction(tablet);
        delete tablet;
    }
    m_Tablets.clear();
    const std::size_t below = AppDelegate::kConnectionsRow + 1;
    QAction* before = below < m_Rows.size() ? m_Rows[below] : nullptr;
    for (const std::string& line : m_Delegate.tabletLines()) {
        auto* tablet = new QAction(QString::fromStdString("    " + line), this);
        tablet->setEnabled(false);
        tablet->setObjectName("Tablet");
        insertAction(before, tablet);
        m_Tablets.push_back(tablet);
    }
}
