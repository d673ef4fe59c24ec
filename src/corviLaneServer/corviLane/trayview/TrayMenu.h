#pragma once

#include <QMenu>

#include <vector>

class AppDelegate;
class QAction;

// The status menu: the delegate's rows as actions, in order, each calling its
// delegate action; rows without an action are shown greyed. The connected
// tablets' lines follow the connections row, greyed too.
class TrayMenu : public QMenu {
public:
    explicit TrayMenu(AppDelegate& delegate);
    // Copies the delegate's current titles to the actions.
    void showTitles();

private:
    AppDelegate& m_Delegate;
    std::vector<QAction*> m_Rows;
    std::vector<QAction*> m_Tablets;
};
