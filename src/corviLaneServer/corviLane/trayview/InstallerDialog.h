#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;
class ReinstallWindow;

// The Live script installer's window: the chosen Live's version, an editable
// list of the copies of Live found, Browse, Install and Close. Every decision
// is the ReinstallWindow's; this window shows its state after each action.
class InstallerDialog : public QDialog {
public:
    explicit InstallerDialog(ReinstallWindow& installer, QWidget* parent = nullptr);

private:
    void showState();

    ReinstallWindow& m_Installer;
    QLabel* m_Version;
    QComboBox* m_Versions;
    QPushButton* m_Install;
};
