#pragma once

#include <QMenu>

#include <vector>

class AppDelegate;
class QAction;

// The status menu: the delegate's rows as actions, in order, each calling its
// delegate action; rows without an action are shown greyed.
class TrayMenu : public QMenu {
public:
    explicit TrayMenu(AppDelegate& delegate);
    // Copies the delegate's current titles to the actions.
    void showTitles();

private:
    AppDelegate& m_Delegate;
    std::vector<QAction*> m_Rows;
};
