#pragma once

#include <QDialog>
#include <QFutureWatcher>
#include <QTimer>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class ReinstallWindow;

// The Live script installer's window: an editable list of the copies of Live
// found (the first chosen), Browse, the chosen Live's version, where the
// script comes from with a button to choose it, what Install does or why it
// cannot, Install and Close. Every decision is the ReinstallWindow's; this
// window shows its state after each action.
// A version is read on a thread of its own (a Live under Wine may have large
// executables to look through), with a busy bar meanwhile; a path typed in
// is read once typing pauses.
class InstallerDialog : public QDialog {
public:
    explicit InstallerDialog(ReinstallWindow& installer, QWidget* parent = nullptr);
    // Gives up a reading still under way and waits for it.
    ~InstallerDialog() override;

private:
    void showState();
    void startReading(const std::string& path);
    void readingDone();
    void stopReading();

    ReinstallWindow& m_Installer;
    QLabel* m_Version;
    QLabel* m_Scripts;
    QLabel* m_Note;
    QComboBox* m_Versions;
    QPushButton* m_Install;
    QProgressBar* m_Busy;
    QTimer m_Typing;
    QFutureWatcher<std::optional<std::string>> m_Reading;
    std::string m_ReadingPath;
    std::shared_ptr<std::atomic<bool>> m_Cancel;
};
