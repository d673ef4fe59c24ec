#include "AvahiTestDaemons.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {

constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kAvahiDaemon = "/usr/sbin/avahi-daemon";
constexpr const char* kAvahiBrowse = "/usr/bin/avahi-browse";

const char* kAvahiConfig = R"([server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
)";

std::string busConfig(const std::string& socketPath) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" + socketPath + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
}

int runQuietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

}  // namespace

std::string AvahiTestDaemons::unavailableReason() {
    for (const char* program : {kDbusDaemon, kAvahiDaemon, kAvahiBrowse}) {
        if (access(program, X_OK) != 0) return std::string(program) + " is not installed";
    }
    if (geteuid() != 0) return "avahi-daemon must run as root";
    if (runQuietly(std::string(kAvahiDaemon) + " --check") == 0) {
        return "an avahi-daemon is already running on this machine";
    }
    return {};
}

AvahiTestDaemons::AvahiTestDaemons() {
    const std::string socket = m_Dir.file("bus");
    writeFile(m_Dir.file("bus.conf"), busConfig(socket));
    writeFile(m_Dir.file("avahi.conf"), kAvahiConfig);
    m_Bus = std::make_unique<ChildProcess>(ChildProcess::Options{
        .args = {kDbusDaemon, "--nofork", "--config-file=" + m_Dir.file("bus.conf")},
        .stderrPath = m_Dir.file("dbus.log")});
    if (!waitUntil([&] { return std::filesystem::exists(socket); }, 5s)) {
        throw std::runtime_error("the private D-Bus daemon did not start");
    }
}

AvahiTestDaemons::~AvahiTestDaemons() {
    stopAvahi();
    if (m_Bus) m_Bus->signal(SIGTERM);
}

std::string AvahiTestDaemons::busAddress() const { return "unix:path=" + m_Dir.file("bus"); }

bool AvahiTestDaemons::startAvahi() {
    const std::string log = m_Dir.file("avahi.log");
    m_Avahi = std::make_unique<ChildProcess>(ChildProcess::Options{
        .args = {kAvahiDaemon, "-f", m_Dir.file("avahi.conf"), "--no-drop-root", "--no-chroot",
                 "--no-rlimits"},
        .env = {{"DBUS_SYSTEM_BUS_ADDRESS", busAddress()}},
        .stdoutPath = log + ".out",
        .stderrPath = log});
    return waitUntil([&] { return readFile(log).find("Server startup complete") != std::string::npos; },
                     10s);
}

void AvahiTestDaemons::stopAvahi() {
    if (!m_Avahi) return;
    m_Avahi->signal(SIGTERM);
    m_Avahi->wait(5s);
    m_Avahi.reset();
}

std::string AvahiTestDaemons::browse(const std::string& type) const {
    const std::string command = "DBUS_SYSTEM_BUS_ADDRESS='" + busAddress() + "' " + kAvahiBrowse +
                                " -rpt " + type + " 2>/dev/null";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        std::array<char, 512> buffer{};
        while (fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
            if (buffer[0] == '=') output += buffer.data();
        }
        pclose(pipe);
    }
    return output;
}
