#include "AppDelegate.h"
#include "FrontendFakes.h"
#include "InstallerDialog.h"
#include "LocalFileSystem.h"
#include "ReinstallWindow.h"
#include "TempDir.h"
#include "TrayMenu.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

void offscreenApplication() {
    static int argc = 1;
    static char name[] = "corvilane_frontend_tests";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* application = new QApplication(argc, argv);
    (void)application;
}

TEST(TrayViewTest, MenuShowsTheDelegatesRowsAndCallsItsActions) {
    offscreenApplication();
    FakeCommands commands;
    FakeSettings settings;
    FakeServer server;
    FakeConsole console;
    FakeHost host;
    host.commands = &commands;
    AppDelegate delegate({commands, settings, server, console, host});
    TrayMenu menu(delegate);
    auto shown = [&] {
        QStringList rows;
        for (QAction* a : menu.actions()) rows << (a->isSeparator() ? "--" : a->text() + (a->isEnabled() ? "" : "~"));
        return rows.join("|").toStdString();
    };
    EXPECT_EQ(shown(), "Install Script|--|Studio Mode: On|--|Control Surface responding: No~|--|"
                       "Devices plugged via USB: 0~|Devices responding via WiFi: 0~|--|Active Connections: 0~|--|Quit");
    server.now = 50;  // the script never answered
    server.wifi = 2;
    server.connected = 1;
    delegate.refresh();
    menu.showTitles();
    EXPECT_EQ(shown(), "Install Script|--|Studio Mode: Off|--|Control Surface responding: No~|--|"
                       "Devices plugged via USB: 0~|Devices responding via WiFi: 2~|--|Active Connections: 1~|--|Quit");
    menu.actions()[AppDelegate::kStudioRow]->trigger();
    EXPECT_EQ(menu.actions()[AppDelegate::kStudioRow]->text(), "Studio Mode: On");
    menu.actions().front()->trigger();
    EXPECT_EQ(host.installerRuns, 1);
    menu.actions().back()->trigger();
    EXPECT_EQ(host.exitStatus, 0);
}

TEST(TrayViewTest, InstallerWindowFollowsTheInstaller) {
    offscreenApplication();
    TempDir dir;
    const std::string live = dir.file("Applications/Live.app");
    std::filesystem::create_directories(live + "/Contents/App-Resources/MIDI Remote Scripts");
    writeFile(live + "/Contents/Info.plist",
              "<plist><dict><key>CFBundleShortVersionString</key><string>11.0.6</string></dict></plist>");
    LocalFileSystem files;
    FakeAlerts alerts;
    FakePicker picker;
    FakeConsole console;
    ReinstallWindow installer({files, alerts, picker, console}, {dir.file("Applications"), dir.file("wine"), ""});
    InstallerDialog dialog(installer);
    auto* versions = dialog.findChild<QComboBox*>();
    QPushButton* install = nullptr;
    for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
        if (button->text() == "Install") install = button;
    }
    ASSERT_TRUE(versions != nullptr && install != nullptr);
    EXPECT_EQ(versions->count(), 1);
    EXPECT_EQ(versions->currentText(), "");
    EXPECT_FALSE(install->isEnabled());
    versions->activated(0);
    EXPECT_TRUE(install->isEnabled());
    EXPECT_EQ(installer.currentText(), live);
    bool labelled = false;
    for (QLabel* label : dialog.findChildren<QLabel*>()) labelled |= label->text() == "11.0.6";
    EXPECT_TRUE(labelled);
    versions->setEditText("/typed/Live.app");
    EXPECT_EQ(installer.currentText(), "/typed/Live.app");
}

}  // namespace
