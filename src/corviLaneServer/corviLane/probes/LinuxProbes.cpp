#include "LinuxProbes.h"

#include "AbletonServerThread.h"
#include "AvahiBrowse.h"
#include "FrameReader.h"
#include "FrameWriter.h"
#include "InstanceLock.h"
#include "IpadServerThread.h"
#include "LocalFileSystem.h"
#include "NetworkAddresses.h"
#include "Platform.h"
#include "PortHolder.h"
#include "ProgramRun.h"
#include "ReinstallWindow.h"
#include "RtMidiSource.h"
#include "SocketUtil.h"
#include "SystemTools.h"
#include "TabletReach.h"
#include "TabletsFile.h"
#include "UserFolders.h"
#include "SettingsFile.h"
#include "AllowList.h"
#include "UsbmuxConnection.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <oscpack/osc/OscOutboundPacketStream.h>
#include <oscpack/osc/OscReceivedElements.h>

#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kAnswerTime = 2s;
constexpr auto kBrowseTime = 3s;
// The tools are killed this long before the end, so that they are reaped in time.
constexpr auto kToolMargin = 300ms;
// How long the server may take to close the check's session once asked to.
constexpr auto kCloseTime = 500ms;
constexpr const char* kMidiClient = "corviLane check";

// Holds the stop signals on the calling thread while it exists; threads
// made meanwhile hold them for good.
class StopSignalsHeld {
public:
    StopSignalsHeld() {
        sigset_t stop;
        sigemptyset(&stop);
        for (const int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP}) sigaddset(&stop, sig);
        pthread_sigmask(SIG_BLOCK, &stop, &m_Previous);
    }
    ~StopSignalsHeld() { pthread_sigmask(SIG_SETMASK, &m_Previous, nullptr); }
    StopSignalsHeld(const StopSignalsHeld&) = delete;
    StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

private:
    sigset_t m_Previous;
};

// A probe on a thread of its own, whose result is taken by a deadline. A
// probe still running then is left to end with the process: its thread is
// detached, and all it touches is its own. Probe threads hold the stop
// signals, so that the check's handler runs on the main thread, which
// starts no tool.
template <class T>
class Background {
public:
    explicit Background(std::function<T()> work) : m_State(std::make_shared<State>()) {
        try {
            const StopSignalsHeld held;
            m_Thread = std::thread([state = m_State, work = std::move(work)] { run(*state, work); });
        } catch (const std::system_error&) {
            run(*m_State, work);  // no thread to be had: asked here instead
        }
    }
    ~Background() {
        if (!m_Thread.joinable()) return;
        if (ended()) {
            m_Thread.join();
        } else {
            m_Thread.detach();
        }
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // The result, or nothing when the probe has not ended by the deadline.
    std::optional<T> by(Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(m_State->lock);
        m_State->changed.wait_until(lock, deadline, [this] { return m_State->ended; });
        return m_State->value;
    }
    bool ended() const {
        std::lock_guard<std::mutex> lock(m_State->lock);
        return m_State->ended;
    }

private:
    struct State {
        mutable std::mutex lock;
        std::condition_variable changed;
        bool ended = false;
        std::optional<T> value;
    };

    static void run(State& state, const std::function<T()>& work) {
        std::optional<T> value;
        try {
            value = work();
        } catch (const std::exception&) {
            // a probe that failed tells nothing
        }
        std::lock_guard<std::mutex> lock(state.lock);
        state.value = std::move(value);
        state.ended = true;
        state.changed.notify_all();
    }

    std::shared_ptr<State> m_State;
    std::thread m_Thread;
};

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

// Sends one OSC message without arguments as a frame; false when the
// server does not take it.
bool sendMessage(int socket, const char* address) {
    char buffer[64];
    osc::OutboundPacketStream message(buffer, sizeof buffer);
    message << osc::BeginMessage(address) << osc::EndMessage;
    const std::string frame = FrameWriter::frame(std::string_view(message.Data(), message.Size()));
    return send(socket, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
}

// Ends the session as a tablet that leaves does: "/disconnect", then the
// server closes the connection (waited for briefly), so that it sees an
// orderly end rather than a stream cut off where a frame would begin.
void leave(int socket) {
    if (!sendMessage(socket, "/disconnect")) return;
    const Clock::time_point deadline = Clock::now() + kCloseTime;
    char ignored[512];
    while (true) {
        pollfd watched{socket, POLLIN, 0};
        if (poll(&watched, 1, millisecondsLeft(deadline)) != 1) return;
        if (recv(socket, ignored, sizeof ignored, 0) <= 0) return;
    }
}

// Asks the server on its Wi-Fi port, as a tablet would: "/server/ping"
// without an argument changes nothing there and brings a "/server/pong".
void askServer(CheckFacts::Server& server) {
    const Clock::time_point deadline = Clock::now() + kAnswerTime;
    const sockets::Descriptor socket = connectBefore(server.port, deadline);
    if (!socket) return;
    if (!sendMessage(socket.get(), "/server/ping")) return;
    FrameReader reader;
    while (!server.answered) {
        pollfd watched{socket.get(), POLLIN, 0};
        if (poll(&watched, 1, millisecondsLeft(deadline)) != 1) break;
        const std::span<char> space = reader.space();
        const ssize_t got = recv(socket.get(), space.data(), space.size(), 0);
        if (got <= 0) return;
        reader.commit(static_cast<std::size_t>(got));
        for (FrameReader::Next next = reader.next(); next.event != FrameReader::Event::NeedMore; next = reader.next()) {
            if (next.event == FrameReader::Event::LengthError) return;
            if (next.event == FrameReader::Event::Frame) readPong(next.payload, server);
        }
    }
    leave(socket.get());
}

// The server as its lock says.
CheckFacts::Server lockedServer() {
    CheckFacts::Server server;
    const std::optional<InstanceLock::Holder> holder = InstanceLock::holder();
    if (!holder) return server;
    server.running = true;
    server.pid = holder->pid;
    server.port = holder->port;
    server.wanted = holder->wanted;
    server.log = holder->log;
    return server;
}

// Who may open a Wi-Fi session: the settings in the running server's folder
// (its log's), else in the state folder, with this computer's subnets now.
std::string allowed(const CheckFacts::Server& server) {
    const std::string folder =
        server.log.empty() ? user_folders::state() : std::filesystem::path(server.log).parent_path().string();
    const SettingsFile settings((folder + "/corvilane-server.conf").c_str());
    std::vector<std::string> rejected;
    AllowList allow = AllowList::parse(settings.getStringVal("wifi.allow", AllowList::kDefault), rejected,
                                       &NetworkAddresses::subnets);
    if (allow.empty()) allow = AllowList::defaults(&NetworkAddresses::subnets);
    return allow.describe();
}

std::vector<std::string> tablets() {
    std::vector<std::string> lines;
    for (const TabletStatus& tablet : TabletsFile::read()) lines.push_back(TabletReach::tabletLine(tablet));
    return lines;
}

std::vector<CheckFacts::Address> addresses() {
    std::vector<CheckFacts::Address> found;
    for (const NetworkAddresses::Entry& entry : NetworkAddresses::list()) {
        found.push_back({entry.interface, entry.address, entry.wireless});
    }
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

// Every place the installer looks, as it says them.
std::string liveFolders() {
    Silent silent;
    std::string places;
    for (const std::string& place : placesSearched(InstallerFolders::fromSettings(silent, ""))) {
        places += (places.empty() ? "" : ", ") + place;
    }
    return places;
}

std::vector<CheckFacts::Live> lives() {
    LocalFileSystem files;
    Silent silent;
    ReinstallWindow installer({files, silent, silent, silent}, InstallerFolders::fromSettings(silent, ""));
    installer.windowDidLoad();
    std::vector<CheckFacts::Live> found;
    for (const std::string& live : installer.versions()) found.push_back({live, files.exists(installer.targetFor(live))});
    return found;
}

}  // namespace

CheckFacts LinuxProbes::gather(bool& allEnded) {
    const Clock::time_point deadline = Clock::now() + kTime;
    CheckFacts facts;
    facts.defaultPort = IpadServerThread::kDefaultPort;
    facts.server = lockedServer();
    const std::uint16_t port = facts.server.port != 0 ? facts.server.port : facts.defaultPort;
    const std::uint16_t defaultPort = facts.defaultPort;

    Background<CheckFacts::Server> asked([server = facts.server]() mutable {
        if (server.port != 0) askServer(server);
        return server;
    });
    Background<CheckFacts::Advertising> browsed([] { return browseOwnServices(kDnsSdServiceType, kBrowseTime); });
    Background<SystemTools> tools([port, defaultPort, deadline] {
        return SystemTools::ask(port, defaultPort, deadline - kToolMargin);
    });
    Background<Known> usb([] { return usbmuxd(); });
    Background<std::string> midi([] { return RtMidiSource::systemName(kMidiClient); });
    Background<std::vector<CheckFacts::Live>> found([] { return lives(); });

    facts.addresses = addresses();
    facts.allowed = allowed(facts.server);
    if (facts.server.running) facts.tablets = tablets();
    facts.scriptUdp = udpPortHolder(AbletonServerThread::kPort);
    facts.liveFolders = liveFolders();
    facts.usbmuxdInstalled = !ProgramRun::find("usbmuxd").empty();

    if (auto server = asked.by(deadline)) facts.server = *server;
    if (auto advertising = browsed.by(deadline)) {
        facts.advertising = *advertising;
    } else {
        facts.advertising.error = "Avahi did not answer in time";
    }
    facts.advertising.installed = !ProgramRun::find("avahi-daemon").empty();
    if (auto system = tools.by(deadline)) {
        facts.firewalls = system->firewalls;
        facts.server.activeUnit = system->activeUnit;
        facts.server.enabledUnit = system->enabledUnit;
    }
    facts.usbmuxd = usb.by(deadline).value_or(Known::Unknown);
    const std::optional<std::string> system = midi.by(deadline);
    facts.midiTold = system.has_value();
    facts.midi = system.value_or("");
    const std::optional<std::vector<CheckFacts::Live>> copies = found.by(deadline);
    facts.livesTold = copies.has_value();
    facts.lives = copies.value_or(std::vector<CheckFacts::Live>{});
    allEnded = asked.ended() && browsed.ended() && tools.ended() && usb.ended() && midi.ended() && found.ended();
    return facts;
}
