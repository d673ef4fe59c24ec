#include "LinuxProbes.h"

#include "AvahiBrowse.h"
#include "FrameReader.h"
#include "FrameWriter.h"
#include "InstanceLock.h"
#include "IpadServerThread.h"
#include "LocalFileSystem.h"
#include "NetworkAddresses.h"
#include "Platform.h"
#include "ProgramRun.h"
#include "ReinstallWindow.h"
#include "RtMidiSource.h"
#include "SocketUtil.h"
#include "UsbmuxConnection.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <oscpack/osc/OscOutboundPacketStream.h>
#include <oscpack/osc/OscReceivedElements.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kAnswerTime = 2s;
constexpr auto kBrowseTime = 3s;
constexpr auto kToolTime = 3s;
constexpr const char* kMidiClient = "corviLane check";

int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

// Connects to 127.0.0.1:port, giving up at the deadline.
sockets::Descriptor connectBefore(std::uint16_t port, Clock::time_point deadline) {
    sockets::Descriptor socket = sockets::tcpSocket();
    if (!socket || !sockets::setNonBlocking(socket.get())) return {};
    const sockaddr_in address = sockets::loopbackAddress(port);
    if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) return {};
        pollfd watched{socket.get(), POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (poll(&watched, 1, millisecondsLeft(deadline)) != 1 ||
            getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return {};
        }
    }
    return socket;
}

// The pong's arguments: script version, 428, script available, the script's
// three numbers, Live running.
void readPong(const std::string_view payload, CheckFacts::Server& server) {
    try {
        const osc::ReceivedPacket packet(payload.data(), static_cast<osc::osc_bundle_element_size_t>(payload.size()));
        if (packet.IsBundle()) return;
        const osc::ReceivedMessage pong(packet);
        if (std::string(pong.AddressPattern()) != "/server/pong" || pong.ArgumentCount() < 7) return;
        auto argument = pong.ArgumentsBegin();
        server.scriptVersion = (argument++)->AsInt32();
        ++argument;
        server.scriptAvailable = (argument++)->AsInt32() != 0;
        for (int skipped = 0; skipped < 3; ++skipped) ++argument;
        server.liveRunning = argument->AsInt32() != 0;
        server.answered = true;
    } catch (const osc::Exception&) {
        // Not a pong this check can read: not an answer.
    }
}

// Asks the server on its Wi-Fi port, as a tablet would: "/server/ping"
// without an argument changes nothing there and brings a "/server/pong".
void askServer(CheckFacts::Server& server) {
    const Clock::time_point deadline = Clock::now() + kAnswerTime;
    const sockets::Descriptor socket = connectBefore(server.port, deadline);
    if (!socket) return;
    char buffer[64];
    osc::OutboundPacketStream ping(buffer, sizeof buffer);
    ping << osc::BeginMessage("/server/ping") << osc::EndMessage;
    const std::string frame = FrameWriter::frame(std::string_view(ping.Data(), ping.Size()));
    if (send(socket.get(), frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) return;
    FrameReader reader;
    while (!server.answered) {
        pollfd watched{socket.get(), POLLIN, 0};
        if (poll(&watched, 1, millisecondsLeft(deadline)) != 1) return;
        const std::span<char> space = reader.space();
        const ssize_t got = recv(socket.get(), space.data(), space.size(), 0);
        if (got <= 0) return;
        reader.commit(static_cast<std::size_t>(got));
        for (FrameReader::Next next = reader.next(); next.event != FrameReader::Event::NeedMore; next = reader.next()) {
            if (next.event == FrameReader::Event::LengthError) return;
            if (next.event == FrameReader::Event::Frame) readPong(next.payload, server);
        }
    }
}

CheckFacts::Server server() {
    CheckFacts::Server server;
    const std::optional<InstanceLock::Holder> holder = InstanceLock::holder();
    if (!holder) return server;
    server.running = true;
    server.pid = holder->pid;
    server.port = holder->port;
    server.wanted = holder->wanted;
    if (server.port != 0) askServer(server);
    return server;
}

std::vector<CheckFacts::Address> addresses() {
    std::vector<CheckFacts::Address> found;
    for (const NetworkAddresses::Entry& entry : NetworkAddresses::list()) {
        found.push_back({entry.interface, entry.address, entry.wireless});
    }
    return found;
}

bool installed(const std::vector<std::string>& paths) {
    std::error_code error;
    for (const std::string& path : paths) {
        if (std::filesystem::exists(path, error)) return true;
    }
    return false;
}

// ufw keeps "ENABLED=yes" in a file anyone may read; its rules only root can.
CheckFacts::Firewall ufw(std::uint16_t port) {
    CheckFacts::Firewall firewall{.name = "ufw"};
    std::ifstream config("/etc/ufw/ufw.conf");
    for (std::string line; std::getline(config, line);) {
        if (line.rfind("ENABLED=", 0) == 0) {
            const std::string value = line.substr(8);
            firewall.active = value.find("yes") != std::string::npos ? Known::Yes : Known::No;
        }
    }
    if (geteuid() != 0 || firewall.active != Known::Yes) return firewall;
    const auto status = ProgramRun::run({"ufw", "status"}, kToolTime);
    if (!status || status->status != 0) return firewall;
    const std::string& rules = status->output;
    if (rules.find("Status: inactive") != std::string::npos) {
        firewall.active = Known::No;
        return firewall;
    }
    const bool portOpen = rules.find("corviLane") != std::string::npos ||
                          rules.find(std::to_string(port) + "/tcp") != std::string::npos;
    firewall.allows = portOpen && (rules.find("corviLane") != std::string::npos || rules.find("5353") != std::string::npos ||
                                   rules.find("mdns") != std::string::npos)
                          ? Known::Yes
                          : Known::No;
    return firewall;
}

// firewall-cmd answers state and queries to anyone; 0 is yes, 1 no.
Known firewalldSays(const std::vector<std::string>& query) {
    std::vector<std::string> command{"firewall-cmd"};
    command.insert(command.end(), query.begin(), query.end());
    const auto result = ProgramRun::run(command, kToolTime);
    if (!result) return Known::Unknown;
    return result->status == 0 ? Known::Yes : result->status == 1 ? Known::No : Known::Unknown;
}

CheckFacts::Firewall firewalld(std::uint16_t port) {
    CheckFacts::Firewall firewall{.name = "firewalld"};
    const auto state = ProgramRun::run({"firewall-cmd", "--state"}, kToolTime);
    if (!state) return firewall;
    firewall.active = state->status == 0 ? Known::Yes : Known::No;
    if (firewall.active != Known::Yes) return firewall;
    const Known service = firewalldSays({"--query-service=corvilane"});
    const Known open = service == Known::Yes ? service : firewalldSays({"--query-port=" + std::to_string(port) + "/tcp"});
    const Known mdns = service == Known::Yes ? service : firewalldSays({"--query-service=mdns"});
    firewall.allows = open == Known::Yes && mdns == Known::Yes   ? Known::Yes
                      : open == Known::No || mdns == Known::No ? Known::No
                                                               : Known::Unknown;
    return firewall;
}

std::vector<CheckFacts::Firewall> firewalls(std::uint16_t port) {
    std::vector<CheckFacts::Firewall> found;
    if (installed({"/usr/sbin/ufw", "/etc/ufw/ufw.conf"})) found.push_back(ufw(port));
    if (installed({"/usr/bin/firewall-cmd", "/usr/sbin/firewalld"})) found.push_back(firewalld(port));
    return found;
}

Known usbmuxd() {
    std::string error;
    const UsbmuxConnection connection =
        UsbmuxConnection::open(UsbmuxConnection::daemonAddress(), -1, Clock::now() + kAnswerTime, error);
    return connection.isOpen() ? Known::Yes : Known::No;
}

// The installer's own search, with its default folders.
class Silent final : public Alerts, public FilePicker, public ConsoleLog, public SettingsStore {
public:
    void warningSheet(const std::string&, const std::string&, const std::string&) override {}
    void inform(const std::string&, const std::string&, const std::string&) override {}
    void error(const std::string&) override {}
    std::optional<std::string> chooseLive() override { return std::nullopt; }
    void line(const std::string&) override {}
    std::optional<std::string> value(const std::string&) const override { return std::nullopt; }
    void setValue(const std::string&, const std::string&) override {}
    void sync() override {}
};

void lives(CheckFacts& facts) {
    LocalFileSystem files;
    Silent silent;
    const InstallerFolders folders = InstallerFolders::fromSettings(silent, "");
    ReinstallWindow installer({files, silent, silent, silent}, folders);
    installer.windowDidLoad();
    for (const std::string& live : installer.versions()) {
        facts.lives.push_back({live, files.exists(installer.targetFor(live))});
    }
    facts.liveFolders = folders.applicationsFolder + " and the Wine prefix " + folders.winePrefix;
}

}  // namespace

CheckFacts LinuxProbes::gather() {
    CheckFacts facts;
    facts.defaultPort = IpadServerThread::kDefaultPort;
    facts.server = server();
    facts.advertising = browseOwnServices(kDnsSdServiceType, kBrowseTime);
    facts.addresses = addresses();
    facts.firewalls = firewalls(facts.server.port != 0 ? facts.server.port : facts.defaultPort);
    facts.usbmuxd = usbmuxd();
    facts.midi = RtMidiSource::systemName(kMidiClient);
    lives(facts);
    return facts;
}
