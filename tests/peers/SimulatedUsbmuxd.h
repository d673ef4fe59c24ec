#pragma once

#include "SimulatedTablet.h"
#include "SocketUtil.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The USB multiplexing daemon as libusbmuxd sees it, for tests: listens on
// 127.0.0.1:port (USBMUXD_SOCKET_ADDRESS = address()) and speaks its plist
// protocol: "Listen" subscribes a client to "Attached" and "Detached" events,
// "ReadPairRecord" answers for paired devices only, and an accepted "Connect"
// to device port 2345 turns the client's connection into the device's raw
// stream, whose far end becomes a SimulatedTablet for the test to take.
// Serves any number of clients on its own thread; destroying it closes every
// client connection, as a daemon that goes away does. Streams already handed
// out stay with their tablets: a test that pulls the cable closes its tablet.
class SimulatedUsbmuxd {
public:
    // Port 0: any free port. A fixed port lets a test restart the daemon on
    // the address a client already uses. Throws when it cannot listen.
    explicit SimulatedUsbmuxd(std::uint16_t port = 0);
    ~SimulatedUsbmuxd();
    SimulatedUsbmuxd(const SimulatedUsbmuxd&) = delete;
    SimulatedUsbmuxd& operator=(const SimulatedUsbmuxd&) = delete;

    std::uint16_t port() const { return m_Port; }
    std::string address() const { return "127.0.0.1:" + std::to_string(m_Port); }

    // Reports the device to every listening client, now and on later "Listen"s.
    void attach(std::uint32_t deviceId, const std::string& serialNumber, std::uint32_t productId = 0x12a8,
                const std::string& connectionType = "USB");
    void detach(std::uint32_t deviceId);
    // Whether "ReadPairRecord" finds a record for the serial number (none at first).
    void paired(const std::string& serialNumber, bool paired);
    // While set, every "Connect" is answered "connection refused".
    void refuseConnections(bool refuse);
    // While set, every "Connect" is counted and never answered (a daemon
    // that is slow to reach the device).
    void holdConnections(bool hold);
    // While set, every "Listen" is answered, then followed by ten bytes of a
    // message that never ends, and the connection is closed; subscriptions
    // made before are closed at once.
    void spoilSubscriptions(bool spoil);
    // "Listen" requests so far.
    int listenRequests();

    // "Connect" requests for the device so far, refused ones included.
    int connectAttempts(std::uint32_t deviceId);
    // The device end of the next accepted stream, in connection order; null
    // when none comes in time.
    std::unique_ptr<SimulatedTablet> waitForTablet(std::chrono::milliseconds timeout = std::chrono::seconds(3));

private:
    struct Device {
        std::string serialNumber;
        std::uint32_t productId = 0;
        std::string connectionType;
    };
    struct Client {
        sockets::Descriptor socket;
        std::string received;
    };

    void run();
    // False when the client is done with: it closed, misbehaved or became a stream.
    bool serve(Client& client);
    bool answer(Client& client, std::uint32_t tag, const std::string& xml);
    void sendAttached(int socket, std::uint32_t deviceId, const Device& device);

    sockets::Descriptor m_Listening;
    std::uint16_t m_Port = 0;
    std::atomic<bool> m_Stopping{false};
    std::mutex m_Mutex;  // guards everything below
    std::condition_variable m_TabletArrived;
    std::map<std::uint32_t, Device> m_Devices;
    std::set<std::string> m_Paired;
    bool m_Refusing = false;
    bool m_Holding = false;
    bool m_Spoiling = false;
    int m_ListenRequests = 0;
    std::map<std::uint32_t, int> m_ConnectAttempts;
    std::vector<int> m_Listeners;  // owned by their Client; removed before it closes
    std::deque<std::unique_ptr<SimulatedTablet>> m_Tablets;
    std::thread m_Thread;
};
