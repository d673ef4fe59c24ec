#include "StatusWindow.h"

#include "AppDelegate.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

StatusWindow::StatusWindow(AppDelegate& delegate) : m_Delegate(delegate), m_Reach(new QLabel(this)) {
    setWindowTitle("corviLane");
    setObjectName("corvilane-status");
    auto* layout = new QVBoxLayout(this);
    auto* buttons = new QHBoxLayout;
    const std::vector<MenuItem>& items = m_Delegate.menu();
    for (std::size_t item = 0; item < items.size(); ++item) {
        if (items[item].separator) continue;
        const MenuAction what = items[item].action;
        if (what == MenuAction::None) {
            m_Rows.push_back({item, new QLabel(this), nullptr});
            layout->addWidget(m_Rows.back().line);
            continue;
        }
        m_Rows.push_back({item, nullptr, new QPushButton(this)});
        buttons->addWidget(m_Rows.back().button);
        connect(m_Rows.back().button, &QPushButton::clicked, this, [this, what] {
            m_Delegate.perform(what);
            showStatus(m_Reach->text().toStdString());
        });
    }
    m_Tablets = new QLabel(this);
    m_Tablets->setObjectName("tablets");
    layout->addWidget(m_Tablets);
    layout->addWidget(m_Reach);
    layout->addLayout(buttons);
    showStatus("");
}

void StatusWindow::showStatus(const std::string& reach) {
    const std::vector<MenuItem>& items = m_Delegate.menu();
    for (const Row& row : m_Rows) {
        const QString title = QString::fromStdString(items[row.item].title);
        if (row.line != nullptr) row.line->setText(title);
        if (row.button != nullptr) row.button->setText(title);
    }
    std::string tablets;
    for (const std::string& line : m_Delegate.tabletLines()) tablets += (tablets.empty() ? "" : "\n") + line;
    m_Tablets->setText(QString::fromStdString(tablets));
    m_Tablets->setVisible(!tablets.empty());
    m_Reach->setText(QString::fromStdString(reach));
}

void StatusWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    showMinimized();
}
