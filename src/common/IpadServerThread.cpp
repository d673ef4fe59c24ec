#include "IpadServerThread.h"

#include "IpadClientThread.h"
#include "Logger.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

constexpr int kBacklog = 128;
constexpr std::uint32_t kNoPort = static_cast<std::uint32_t>(-1);
// How long the destructor waits for the sessions to release themselves.
constexpr auto kSessionsGoneTimeout = std::chrono::seconds(10);
// A failing accept (no descriptors left, say) is retried after this pause.
constexpr useconds_t kAcceptRetryMicroseconds = 100'000;

void configureSession(int socket) {
    // Sends never raise SIGPIPE (MSG_NOSIGNAL); a stalled tablet cannot block
    // a fan-out for long; frames go out at once.
    const timeval timeout{BaseClientThread::kSendTimeoutSeconds, 0};
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

IpadServerThread::IpadServerThread(ServerLinks& links, std::uint16_t port)
    : m_Links(links), m_Mutex(std::make_unique<CThreadMutex>()) {
    createSocket(port);
}

void IpadServerThread::createSocket(std::uint16_t port) {
    const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (listening < 0) {
        CLogger::error("Failed to initialize socket!");
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        CLogger::error("Failed to bind random port: %u!", kNoPort);
        close(listening);
        return;
    }
    m_Socket = listening;
    socklen_t length = sizeof address;
    if (getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        CLogger::error("Failed to get port number: %u!", kNoPort);
        return;
    }
    m_Port = ntohs(address.sin_port);
    CLogger::info("Bound to port %u", m_Port);
}

IpadServerThread::~IpadServerThread() {
    closeListeningSocket();
    std::unique_lock<CThreadMutex> lock(*m_Mutex);
    for (IpadClientThread* client : m_Clients) client->Interrupt();
    // Each session removes and destroys itself once its thread is done with it.
    if (!m_ClientLeft.wait_for(lock, kSessionsGoneTimeout, [this] { return m_Clients.empty(); })) {
        CLogger::error("%zu Wi-Fi sessions did not end; leaving them", m_Clients.size());
    }
}

void IpadServerThread::closeListeningSocket() {
    if (const int listening = m_Socket.exchange(0); listening > 0) close(listening);
}

void IpadServerThread::Stop() {
    CThread::Stop();
    if (const int listening = m_Socket; listening > 0) shutdown(listening, SHUT_RDWR);
}

void IpadServerThread::Work() {
    const int listening = m_Socket;
    if (listening <= 0) return;
    if (listen(listening, kBacklog) != 0) {
        CLogger::error("Failed to listen()!");
        return;
    }
    CLogger::info("Started listening on port %u", m_Port);
    while (b_Running) accept();
}

void IpadServerThread::accept() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int session = accept4(m_Socket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (session < 0) {
        if (b_Running && errno != EINTR && errno != ECONNABORTED) usleep(kAcceptRetryMicroseconds);
        return;
    }
    configureSession(session);
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    CLogger::info("Connection from %s:%u", address, static_cast<unsigned>(ntohs(peer.sin_port)));

    auto* client = new IpadClientThread(m_Links, peer, session, *this);
    client->setDetached();  // it releases itself in Finalize and is never joined
    {
        std::lock_guard<CThreadMutex> lock(*m_Mutex);
        m_Clients.push_back(client);
    }
    if (client->Start() != 0) {
        CLogger::error("Failed to start the session for %s", address);
        client->Finalize();
    }
}

std::size_t IpadServerThread::getClientCount() {
    std::lock_guard<CThreadMutex> lock(*m_Mutex);
    return m_Clients.size();
}

std::size_t IpadServerThread::getConnectedClientCount() {
    std::size_t connected = 0;
    forEachClient([&](IpadClientThread& client) { connected += client.isConnected() ? 1 : 0; });
    return connected;
}

void IpadServerThread::Monitor() {
    forEachClient([](IpadClientThread& client) { client.Monitor(); });
}

void IpadServerThread::RemoveClient(IpadClientThread* client) {
    std::lock_guard<CThreadMutex> lock(*m_Mutex);
    m_Clients.remove(client);
    delete client;
    // Notified under the lock: a destructor waiting for the list to empty
    // cannot finish before this thread has let go of the listener.
    m_ClientLeft.notify_all();
}

void IpadServerThread::StartBundle() {
    forEachClient([](IpadClientThread& client) { client.StartBundle(); });
}

void IpadServerThread::EndBundle() {
    forEachClient([](IpadClientThread& client) { client.EndBundle(); });
}

void IpadServerThread::TransmitMessage(const ReceivedOscMessage& message, const BaseClientThread* except) {
    forEachClient([&](IpadClientThread& client) {
        if (&client != except) client.TransmitMessage(message);
    });
}

void IpadServerThread::SendData(const char* data, std::size_t length) {
    forEachClient([&](IpadClientThread& client) { client.SendData(data, length); });
}
