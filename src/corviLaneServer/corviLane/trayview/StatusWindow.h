#pragma once

#include <QWidget>

#include <string>
#include <vector>

class AppDelegate;
class QLabel;
class QPushButton;

// The status menu as a small window, for desktops without a system tray: the
// delegate's status rows as lines, its actions as buttons, and where tablets
// reach this computer. Closing it only minimises it: the server runs on, and
// Quit is the way out, as in the menu.
class StatusWindow : public QWidget {
public:
    explicit StatusWindow(AppDelegate& delegate);
    // Copies the delegate's current titles, and `reach`, to the window.
    void showStatus(const std::string& reach);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // One per row of the menu that is not a separator.
    struct Row {
        std::size_t item;
        QLabel* line = nullptr;
        QPushButton* button = nullptr;
    };

    AppDelegate& m_Delegate;
    QLabel* m_Reach;
    QLabel* m_Tablets = nullptr;  // the connected tablets, one a line
    std::vector<Row> m_Rows;
};
