#include "QtPlatform.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QStringList>

#include <sys/stat.h>

#include <cstdio>

namespace {

// Far more than the program's few settings.
constexpr off_t kMaxSettingsSize = 1 << 20;

QString qt(const std::string& text) { return QString::fromStdString(text); }

// A message box whose texts are never read as markup.
QMessageBox* messageBox(QMessageBox::Icon icon, const std::string& message, const std::string& informative,
                        const std::string& button, QWidget* parent) {
    auto* box = new QMessageBox(icon, "corviLane", qt(message), QMessageBox::NoButton, parent);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(qt(informative));
    if (auto* label = box->findChild<QLabel*>("qt_msgbox_informativelabel")) label->setTextFormat(Qt::PlainText);
    box->addButton(qt(button), QMessageBox::AcceptRole);
    return box;
}

}  // namespace

void QtCommandRunner::run(const std::vector<std::string>& argv, std::function<void(int status)> finished) {
    if (argv.empty()) return;
    QStringList arguments;
    for (std::size_t i = 1; i < argv.size(); ++i) arguments << qt(argv[i]);
    if (!finished) {
        QProcess::startDetached(qt(argv[0]), arguments);
        return;
    }
    auto* process = new QProcess;
    QObject::connect(process, &QProcess::finished, process, [process, finished](int code, QProcess::ExitStatus how) {
        finished(how == QProcess::NormalExit ? code : -1);
        process->deleteLater();
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, finished](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;
        finished(-1);
        process->deleteLater();
    });
    process->start(qt(argv[0]), arguments);
}

QtSettingsStore::QtSettingsStore() : m_Settings(usableFile(), QSettings::IniFormat) {}

// Where QSettings keeps them by default, when that is a regular file of sane
// size or nothing yet; else a file in a private folder of this process.
QString QtSettingsStore::usableFile() {
    const QString file = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/" +
                         QCoreApplication::organizationName() + "/" + QCoreApplication::applicationName() + ".conf";
    const QByteArray path = file.toLocal8Bit();
    struct stat status {};
    if (stat(path.constData(), &status) != 0 || (S_ISREG(status.st_mode) && status.st_size <= kMaxSettingsSize)) {
        return file;
    }
    m_Aside = std::make_unique<QTemporaryDir>();
    std::fprintf(stderr, "corviLane: %s is not a regular file of at most %lld bytes: its settings are not read, "
                         "and changes are kept only until the program ends\n",
                 path.constData(), static_cast<long long>(kMaxSettingsSize));
    return m_Aside->filePath("corviLane.conf");
}

std::optional<std::string> QtSettingsStore::value(const std::string& key) const {
    const QVariant stored = m_Settings.value(qt(key));
    if (!stored.isValid()) return std::nullopt;
    return stored.toString().toStdString();
}

void QtSettingsStore::setValue(const std::string& key, const std::string& value) {
    m_Settings.setValue(qt(key), qt(value));
}

void QtAlerts::warningSheet(const std::string& message, const std::string& informative, const std::string& button) {
    QMessageBox* box = messageBox(QMessageBox::Warning, message, informative, button, m_Parent);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void QtAlerts::inform(const std::string& message, const std::string& informative, const std::string& button) {
    QMessageBox* box = messageBox(QMessageBox::Information, message, informative, button, m_Parent);
    box->exec();
    delete box;
}

void QtAlerts::error(const std::string& description) {
    QMessageBox* box = messageBox(QMessageBox::Critical, description, "", "OK", m_Parent);
    box->exec();
    delete box;
}

std::optional<std::string> QtFilePicker::chooseLive() {
    const QString chosen = QFileDialog::getExistingDirectory(
        m_Parent, "Choose Ableton Live (an application bundle or a Live folder)");
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.toStdString();
}

std::optional<std::string> QtFilePicker::chooseScripts() {
    QMessageBox question(QMessageBox::Question, "corviLane", "Where is the Live script that came with the tablet app?",
                         QMessageBox::Cancel, m_Parent);
    question.setTextFormat(Qt::PlainText);
    question.setInformativeText("Choose its folder (holding corviLanePro), or the .zip file it came in.");
    QPushButton* folder = question.addButton("Folder...", QMessageBox::AcceptRole);
    QPushButton* archive = question.addButton(".zip File...", QMessageBox::AcceptRole);
    question.exec();
    QString chosen;
    if (question.clickedButton() == folder) {
        chosen = QFileDialog::getExistingDirectory(m_Parent, "Choose the Live script's folder");
    } else if (question.clickedButton() == archive) {
        chosen = QFileDialog::getOpenFileName(m_Parent, "Choose the Live script's .zip file", QString(),
                                              "Zip archives (*.zip *.ZIP)");
    }
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.toStdString();
}

void StandardErrorConsole::line(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }
