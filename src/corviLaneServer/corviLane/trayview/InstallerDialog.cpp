#include "InstallerDialog.h"

#include "ReinstallWindow.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

InstallerDialog::InstallerDialog(ReinstallWindow& installer, QWidget* parent)
    : QDialog(parent), m_Installer(installer), m_Version(new QLabel), m_Versions(new QComboBox),
      m_Install(new QPushButton("Install")) {
    setWindowTitle("Install the corviLane Live script");
    setModal(true);
    m_Version->setTextFormat(Qt::PlainText);
    m_Versions->setEditable(true);
    m_Versions->setInsertPolicy(QComboBox::NoInsert);
    m_Versions->setMinimumContentsLength(48);
    m_Versions->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    auto* browse = new QPushButton("Browse...");
    auto* close = new QPushButton("Close");
    // Return in the path box must never install.
    for (QPushButton* button : {m_Install, browse, close}) button->setAutoDefault(false);

    auto* target = new QHBoxLayout;
    target->addWidget(m_Versions, 1);
    target->addWidget(browse);
    auto* form = new QFormLayout;
    form->addRow("Ableton Live:", target);
    form->addRow("Live version:", m_Version);
    auto* buttons = new QDialogButtonBox;
    buttons->addButton(m_Install, QDialogButtonBox::AcceptRole);
    buttons->addButton(close, QDialogButtonBox::RejectRole);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);

    m_Installer.windowDidLoad();
    for (const std::string& live : m_Installer.versions()) m_Versions->addItem(QString::fromStdString(live));
    m_Versions->setCurrentIndex(-1);
    m_Versions->setEditText(QString::fromStdString(m_Installer.currentText()));

    connect(m_Versions, &QComboBox::editTextChanged, this,
            [this](const QString& text) { m_Installer.setCurrentText(text.toStdString()); });
    connect(m_Versions, &QComboBox::activated, this, [this](int index) {
        m_Installer.setCurrentText(m_Versions->itemText(index).toStdString());
        m_Installer.cmbVersionsSelect();
        showState();
    });
    connect(browse, &QPushButton::clicked, this, [this] {
        m_Installer.btnBrowseClick();
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
    showState();
}

void InstallerDialog::showState() {
    m_Version->setText(QString::fromStdString(m_Installer.lblVersion()));
    m_Install->setEnabled(m_Installer.installEnabled());
    const QString target = QString::fromStdString(m_Installer.currentText());
    if (m_Versions->currentText() != target) m_Versions->setEditText(target);
    if (m_Installer.closed()) done(QDialog::Accepted);
}
