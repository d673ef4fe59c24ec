// The simulated usbmux daemon as the real libusbmuxd sees it.
#include "SimulatedUsbmuxd.h"

#include <gtest/gtest.h>
#include <usbmuxd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct Event {
    int type;
    std::uint32_t handle;
    std::uint32_t productId;
    std::string udid;
    bool operator==(const Event&) const = default;
};

// Records the library's events, delivered on its own thread, in order.
class Subscription {
public:
    explicit Subscription(const std::string& address) {
        setenv("USBMUXD_SOCKET_ADDRESS", address.c_str(), 1);
        libusbmuxd_set_use_inotify(0);
        EXPECT_EQ(usbmuxd_events_subscribe(&m_Context, &Subscription::record, this), 0);
    }
    ~Subscription() { usbmuxd_events_unsubscribe(m_Context); }

    // True once the next unseen event equals `expected`.
    bool next(const Event& expected, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (!m_Arrived.wait_for(lock, timeout, [this] { return m_Events.size() > m_Seen; })) return false;
        const Event& got = m_Events[m_Seen++];
        EXPECT_EQ(got, expected);
        return got == expected;
    }

private:
    static void record(const usbmuxd_event_t* event, void* self) {
        auto* subscription = static_cast<Subscription*>(self);
        std::lock_guard<std::mutex> lock(subscription->m_Mutex);
        subscription->m_Events.push_back({event->event, event->device.handle, event->device.product_id,
                                          event->device.udid});
        subscription->m_Arrived.notify_all();
    }

    usbmuxd_subscription_context_t m_Context = nullptr;
    std::mutex m_Mutex;
    std::condition_variable m_Arrived;
    std::vector<Event> m_Events;
    std::size_t m_Seen = 0;
};

TEST(SimulatedUsbmuxd, ReportsDevicesAnswersPairingAndConnectsStreams) {
    SimulatedUsbmuxd daemon;
    daemon.attach(3, "serial-3", 0x12a8);  // before the client listens
    Subscription events(daemon.address());
    ASSERT_TRUE(events.next({UE_DEVICE_ADD, 3, 0x12a8, "serial-3"}));
    daemon.attach(4, "serial-4", 0x12ab);
    ASSERT_TRUE(events.next({UE_DEVICE_ADD, 4, 0x12ab, "serial-4"}));

    daemon.paired("serial-3", true);
    char* record = nullptr;
    std::uint32_t size = 0;
    EXPECT_EQ(usbmuxd_read_pair_record("serial-3", &record, &size), 0);
    EXPECT_GT(size, 0u);
    std::free(record);
    EXPECT_LT(usbmuxd_read_pair_record("serial-4", &record, &size), 0);

    SimulatedTablet host(sockets::Descriptor(usbmuxd_connect(3, 2345)));  // the host's end, as raw bytes
    ASSERT_TRUE(host.connected());
    const auto tablet = daemon.waitForTablet();
    ASSERT_TRUE(tablet);
    host.sendRaw("to device");
    EXPECT_EQ(tablet->readRaw(9), "to device");
    tablet->sendRaw("to host");
    EXPECT_EQ(host.readRaw(7), "to host");

    daemon.refuseConnections(true);
    EXPECT_EQ(usbmuxd_connect(3, 2345), -ECONNREFUSED);
    daemon.refuseConnections(false);
    EXPECT_LT(usbmuxd_connect(9, 2345), 0);  // never attached
    EXPECT_EQ(daemon.connectAttempts(3), 2);
    EXPECT_EQ(daemon.waitForTablet(100ms), nullptr);

    daemon.detach(4);
    EXPECT_TRUE(events.next({UE_DEVICE_REMOVE, 4, 0x12ab, "serial-4"}));
}

// The library looks for an absent daemon every second and reports every
// device removed when the daemon goes away. (It ends here with the daemon up:
// unsubscribing while the library is connecting leaks a few bytes inside it.)
TEST(SimulatedUsbmuxd, LateAndRestartedDaemonIsFound) {
    auto daemon = std::make_unique<SimulatedUsbmuxd>();
    const std::uint16_t port = daemon->port();
    daemon.reset();
    Subscription events("127.0.0.1:" + std::to_string(port));
    std::this_thread::sleep_for(300ms);  // the library's first look finds no daemon
    const auto start = [&] {
        daemon = std::make_unique<SimulatedUsbmuxd>(port);
        daemon->attach(5, "serial-5", 0x12a8);
    };

    start();
    ASSERT_TRUE(events.next({UE_DEVICE_ADD, 5, 0x12a8, "serial-5"}));
    daemon.reset();
    ASSERT_TRUE(events.next({UE_DEVICE_REMOVE, 5, 0x12a8, "serial-5"}));
    start();
    EXPECT_TRUE(events.next({UE_DEVICE_ADD, 5, 0x12a8, "serial-5"}));
}

}  // namespace
