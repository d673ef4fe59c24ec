#include "SimulatedUsbmuxd.h"
#include "TestSockets.h"

#include <arpa/inet.h>
#include <endian.h>
#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <stdexcept>

namespace {

// Every message: a 16-byte little-endian header (total length, protocol
// version 1, message type 8 for a property list, tag) and an XML plist.
constexpr std::size_t kHeaderSize = 16;
constexpr std::uint32_t kPlistVersion = 1;
constexpr std::uint32_t kPlistMessage = 8;
constexpr std::uint32_t kMaxMessage = 1 << 16;
// Result numbers of the protocol.
constexpr std::uint64_t kOk = 0;
constexpr std::uint64_t kBadCommand = 1;
constexpr std::uint64_t kBadDevice = 2;
constexpr std::uint64_t kConnectionRefused = 3;
// The one device port that accepts streams: the tablet app's 2345.
constexpr std::uint16_t kDevicePort = 2345;

using Plist = std::unique_ptr<void, decltype(&plist_free)>;

Plist dictionary() { return Plist(plist_new_dict(), &plist_free); }

void set(const Plist& dict, const char* key, plist_t value) { plist_dict_set_item(dict.get(), key, value); }

std::string toXml(const Plist& plist) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(plist.get(), &xml, &length);
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

std::string resultXml(std::uint64_t number) {
    const Plist result = dictionary();
    set(result, "MessageType", plist_new_string("Result"));
    set(result, "Number", plist_new_uint(number));
    return toXml(result);
}

std::string stringItem(plist_t dict, const char* key) {
    const char* text = plist_get_string_ptr(plist_dict_get_item(dict, key), nullptr);
    return text != nullptr ? text : "";
}

std::uint64_t uintItem(plist_t dict, const char* key) {
    const plist_t item = plist_dict_get_item(dict, key);
    std::uint64_t value = 0;
    if (item != nullptr && plist_get_node_type(item) == PLIST_UINT) plist_get_uint_val(item, &value);
    return value;
}

void putLittleEndian(char* at, std::uint32_t value) {
    value = htole32(value);
    std::memcpy(at, &value, sizeof value);
}

std::uint32_t getLittleEndian(const char* at) {
    std::uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return le32toh(value);
}

// The "Attached" event of a device, as pushed to listeners and listed.
Plist attachedEvent(std::uint32_t deviceId, const std::string& serialNumber, std::uint32_t productId,
                    const std::string& connectionType) {
    Plist properties = dictionary();
    set(properties, "ConnectionType", plist_new_string(connectionType.c_str()));
    set(properties, "DeviceID", plist_new_uint(deviceId));
    set(properties, "LocationID", plist_new_uint(0));
    set(properties, "ProductID", plist_new_uint(productId));
    set(properties, "SerialNumber", plist_new_string(serialNumber.c_str()));
    Plist event = dictionary();
    set(event, "MessageType", plist_new_string("Attached"));
    set(event, "DeviceID", plist_new_uint(deviceId));
    set(event, "Properties", properties.release());
    return event;
}

bool sendMessage(int socket, std::uint32_t tag, const std::string& xml) {
    std::string bytes(kHeaderSize, '\0');
    putLittleEndian(bytes.data(), static_cast<std::uint32_t>(kHeaderSize + xml.size()));
    putLittleEndian(bytes.data() + 4, kPlistVersion);
    putLittleEndian(bytes.data() + 8, kPlistMessage);
    putLittleEndian(bytes.data() + 12, tag);
    bytes += xml;
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t sent = send(socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

SimulatedUsbmuxd::SimulatedUsbmuxd(std::uint16_t port) : m_Listening(sockets::listenLoopback(port)) {
    if (!m_Listening) throw std::runtime_error("simulated usbmuxd: cannot listen on port " + std::to_string(port));
    m_Port = sockets::localPort(m_Listening.get());
    m_Thread = std::thread([this] { run(); });
}

SimulatedUsbmuxd::~SimulatedUsbmuxd() {
    m_Stopping = true;
    m_Thread.join();
}

void SimulatedUsbmuxd::run() {
    std::vector<Client> clients;
    while (!m_Stopping) {
        std::vector<pollfd> watched{{m_Listening.get(), POLLIN, 0}};
        for (const Client& client : clients) watched.push_back({client.socket.get(), POLLIN, 0});
        if (poll(watched.data(), watched.size(), 50) <= 0) continue;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (watched[i + 1].revents == 0 || serve(clients[i])) continue;
            std::lock_guard<std::mutex> lock(m_Mutex);
            std::erase(m_Listeners, clients[i].socket.get());
            clients[i].socket.reset();
        }
        std::erase_if(clients, [](const Client& client) { return !client.socket; });
        if (watched[0].revents != 0) {
            sockets::Descriptor accepted(accept4(m_Listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!accepted) continue;
            sockets::setNoDelay(accepted.get());
            clients.push_back({std::move(accepted), {}});
        }
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Listeners.clear();
}

bool SimulatedUsbmuxd::serve(Client& client) {
    char buffer[4096];
    const ssize_t got = recv(client.socket.get(), buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    client.received.append(buffer, static_cast<std::size_t>(got));
    while (client.received.size() >= kHeaderSize) {
        const char* header = client.received.data();
        const std::uint32_t length = getLittleEndian(header);
        // Only plist messages of a sane size: anything else ends the client.
        if (length < kHeaderSize || length > kMaxMessage || getLittleEndian(header + 4) != kPlistVersion ||
            getLittleEndian(header + 8) != kPlistMessage) {
            return false;
        }
        if (client.received.size() < length) return true;
        const std::uint32_t tag = getLittleEndian(header + 12);
        const std::string xml = client.received.substr(kHeaderSize, length - kHeaderSize);
        client.received.erase(0, length);
        if (!answer(client, tag, xml)) return false;
    }
    return true;
}

bool SimulatedUsbmuxd::answer(Client& client, std::uint32_t tag, const std::string& xml) {
    plist_t parsed = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &parsed);
    const Plist request(parsed, &plist_free);
    if (!request || plist_get_node_type(request.get()) != PLIST_DICT) return false;
    const std::string type = stringItem(request.get(), "MessageType");
    const int socket = client.socket.get();
    std::lock_guard<std::mutex> lock(m_Mutex);

    if (type == "Listen") {
        ++m_ListenRequests;
        if (m_Spoiling) {
            sendMessage(socket, tag, resultXml(kOk));
            send(socket, "\x40\0\0\0\1\0\0\0\x08\0", 10, MSG_NOSIGNAL);
            return false;
        }
        // A listener that stops reading must not hold up attach() for ever.
        sockets::setSendTimeout(socket, 2);
        m_Listeners.push_back(socket);
        if (!sendMessage(socket, tag, resultXml(kOk))) return false;
        for (const auto& [deviceId, device] : m_Devices) sendAttached(socket, deviceId, device);
        return true;
    }
    if (type == "ListDevices") {
        const Plist list(plist_new_array(), &plist_free);
        for (const auto& [deviceId, device] : m_Devices) {
            plist_array_append_item(
                list.get(), attachedEvent(deviceId, device.serialNumber, device.productId, device.connectionType).release());
        }
        const Plist reply = dictionary();
        set(reply, "DeviceList", plist_copy(list.get()));
        return sendMessage(socket, tag, toXml(reply));
    }
    if (type == "ReadPairRecord") {
        const std::string serialNumber = stringItem(request.get(), "PairRecordID");
        if (m_Paired.count(serialNumber) == 0) return sendMessage(socket, tag, resultXml(kBadDevice));
        const std::string record = "pair record of " + serialNumber;
        const Plist reply = dictionary();
        set(reply, "PairRecordData", plist_new_data(record.data(), record.size()));
        return sendMessage(socket, tag, toXml(reply));
    }
    if (type == "Connect") {
        const auto deviceId = static_cast<std::uint32_t>(uintItem(request.get(), "DeviceID"));
        // The port travels in network byte order inside the plist's integer.
        const auto port = ntohs(static_cast<std::uint16_t>(uintItem(request.get(), "PortNumber")));
        ++m_ConnectAttempts[deviceId];
        if (m_Holding) return true;
        const std::uint64_t result = m_Refusing                       ? kConnectionRefused
                                     : m_Devices.count(deviceId) == 0 ? kBadDevice
                                     : port != kDevicePort            ? kConnectionRefused
                                                                      : kOk;
        if (!sendMessage(socket, tag, resultXml(result)) || result != kOk) return false;
        // From here on the connection is the raw stream to the device. The
        // client waits for the result before writing, so nothing is buffered.
        std::erase(m_Listeners, socket);
        m_Tablets.push_back(std::make_unique<SimulatedTablet>(std::move(client.socket)));
        m_TabletArrived.notify_all();
        return false;
    }
    return sendMessage(socket, tag, resultXml(kBadCommand));
}

void SimulatedUsbmuxd::sendAttached(int socket, std::uint32_t deviceId, const Device& device) {
    sendMessage(socket, 0, toXml(attachedEvent(deviceId, device.serialNumber, device.productId, device.connectionType)));
}

void SimulatedUsbmuxd::attach(std::uint32_t deviceId, const std::string& serialNumber, std::uint32_t productId,
                              const std::string& connectionType) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Device& device = m_Devices[deviceId] = Device{serialNumber, productId, connectionType};
    for (int socket : m_Listeners) sendAttached(socket, deviceId, device);
}

void SimulatedUsbmuxd::detach(std::uint32_t deviceId) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Devices.erase(deviceId) == 0) return;
    const Plist event = dictionary();
    set(event, "MessageType", plist_new_string("Detached"));
    set(event, "DeviceID", plist_new_uint(deviceId));
    const std::string xml = toXml(event);
    for (int socket : m_Listeners) sendMessage(socket, 0, xml);
}

void SimulatedUsbmuxd::paired(const std::string& serialNumber, bool paired) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (paired) {
        m_Paired.insert(serialNumber);
    } else {
        m_Paired.erase(serialNumber);
    }
}

void SimulatedUsbmuxd::holdConnections(bool hold) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Holding = hold;
}

void SimulatedUsbmuxd::refuseConnections(bool refuse) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Refusing = refuse;
}

void SimulatedUsbmuxd::spoilSubscriptions(bool spoil) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Spoiling = spoil;
    // Subscriptions already made end too.
    if (spoil) {
        for (int socket : m_Listeners) shutdown(socket, SHUT_RDWR);
    }
}

int SimulatedUsbmuxd::listenRequests() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_ListenRequests;
}

int SimulatedUsbmuxd::connectAttempts(std::uint32_t deviceId) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto found = m_ConnectAttempts.find(deviceId);
    return found != m_ConnectAttempts.end() ? found->second : 0;
}

std::unique_ptr<SimulatedTablet> SimulatedUsbmuxd::waitForTablet(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!m_TabletArrived.wait_for(lock, timeout, [this] { return !m_Tablets.empty(); })) return nullptr;
    std::unique_ptr<SimulatedTablet> tablet = std::move(m_Tablets.front());
    m_Tablets.pop_front();
    return tablet;
}
