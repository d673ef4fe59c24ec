#include "InstallerDialog.h"

#include "ReinstallWindow.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// How long typing in the Live box pauses before the path typed is read.
constexpr int kTypingPauseMilliseconds = 500;

}  // namespace

InstallerDialog::InstallerDialog(ReinstallWindow& installer, QWidget* parent)
    : QDialog(parent), m_Installer(installer), m_Version(new QLabel), m_Scripts(new QLabel), m_Note(new QLabel),
      m_Versions(new QComboBox), m_Install(new QPushButton("Install")), m_Busy(new QProgressBar) {
    setWindowTitle("Install the corviLane Live script");
    setModal(true);
    for (QLabel* label : {m_Version, m_Scripts, m_Note}) label->setTextFormat(Qt::PlainText);
    for (QLabel* label : {m_Scripts, m_Note}) label->setWordWrap(true);
    m_Versions->setEditable(true);
    m_Versions->setInsertPolicy(QComboBox::NoInsert);
    m_Versions->setMinimumContentsLength(48);
    m_Versions->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    auto* browse = new QPushButton("Browse...");
    auto* choose = new QPushButton("Choose...");
    auto* close = new QPushButton("Close");
    // Return in the path box must never install.
    for (QPushButton* button : {m_Install, browse, choose, close}) button->setAutoDefault(false);

    auto* target = new QHBoxLayout;
    target->addWidget(m_Versions, 1);
    target->addWidget(browse);
    auto* scripts = new QHBoxLayout;
    scripts->addWidget(m_Scripts, 1);
    scripts->addWidget(choose);
    auto* form = new QFormLayout;
    form->addRow("Ableton Live:", target);
    form->addRow("Live version:", m_Version);
    form->addRow("Live script:", scripts);
    m_Busy->setRange(0, 0);  // moving, with no end known
    m_Busy->setTextVisible(false);
    m_Busy->hide();
    form->addRow(m_Busy);
    auto* buttons = new QDialogButtonBox;
    buttons->addButton(m_Install, QDialogButtonBox::AcceptRole);
    buttons->addButton(close, QDialogButtonBox::RejectRole);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_Note);
    layout->addWidget(buttons);

    m_Installer.windowDidLoad();
    for (const std::string& live : m_Installer.versions()) m_Versions->addItem(QString::fromStdString(live));
    m_Versions->setCurrentIndex(m_Installer.versions().empty() ? -1 : 0);
    m_Versions->setEditText(QString::fromStdString(m_Installer.currentText()));

    m_Typing.setSingleShot(true);
    m_Typing.setInterval(kTypingPauseMilliseconds);
    connect(&m_Typing, &QTimer::timeout, this, [this] { startReading(m_Installer.currentText()); });
    connect(&m_Reading, &QFutureWatcher<std::optional<std::string>>::finished, this, [this] { readingDone(); });
    connect(m_Versions, &QComboBox::editTextChanged, this, [this](const QString& text) {
        if (text.toStdString() == m_Installer.currentText()) return;
        m_Installer.setCurrentText(text.toStdString());
        showState();
        if (!text.isEmpty()) m_Typing.start();
    });
    connect(m_Versions, &QComboBox::activated, this, [this](int index) {
        m_Installer.setCurrentText(m_Versions->itemText(index).toStdString());
        startReading(m_Installer.currentText());
    });
    connect(browse, &QPushButton::clicked, this, [this] {
        if (const std::optional<std::string> chosen = m_Installer.browse()) startReading(*chosen);
    });
    connect(choose, &QPushButton::clicked, this, [this] {
        m_Installer.chooseScripts();
        showState();
    });
    connect(m_Install, &QPushButton::clicked, this, [this] {
        m_Installer.btnInstallClick();
        showState();
    });
    connect(close, &QPushButton::clicked, this, [this] {
        m_Installer.btnCloseClick();
        showState();
    });
    // The copy of Live chosen at once is read as if chosen by hand.
    if (!m_Installer.currentText().empty()) startReading(m_Installer.currentText());
    showState();
}

InstallerDialog::~InstallerDialog() { stopReading(); }

// One reading at a time: a new one gives up the one under way.
void InstallerDialog::startReading(const std::string& path) {
    m_Typing.stop();
    stopReading();
    m_ReadingPath = path;
    m_Cancel = std::make_shared<std::atomic<bool>>(false);
    m_Reading.setFuture(QtConcurrent::run([this, path, cancel = m_Cancel] {
        return m_Installer.readVersion(path, *cancel);
    }));
    showState();
}

void InstallerDialog::stopReading() {
    if (!m_Reading.isRunning()) return;
    *m_Cancel = true;
    m_Reading.waitForFinished();
}

// What was read counts only while it is still the target in the box.
void InstallerDialog::readingDone() {
    if (m_Cancel && !*m_Cancel && m_ReadingPath == m_Installer.currentText()) {
        m_Installer.showVersion(m_ReadingPath, m_Reading.result());
    }
    showState();
}

void InstallerDialog::showState() {
    const bool reading = m_Reading.isRunning();
    m_Busy->setVisible(reading);
    m_Version->setText(reading ? "reading..." : QString::fromStdString(m_Installer.lblVersion()));
    m_Install->setEnabled(!reading && m_Installer.installEnabled());
    m_Scripts->setText(QString::fromStdString(m_Installer.scriptsText()));
    m_Note->setText(QString::fromStdString(m_Installer.installNote(reading)));
    const QString target = QString::fromStdString(m_Installer.currentText());
    if (m_Versions->currentText() != target) m_Versions->setEditText(target);
    if (m_Installer.closed()) done(QDialog::Accepted);
}
