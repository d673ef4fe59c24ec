// DNS-SD through the Avahi daemon: one client on its own threaded poll,
// created with NO_FAIL so that it waits for the daemon and registers again
// whenever the daemon (re)appears. Every Avahi and D-Bus call runs on the poll
// thread; other threads only change the wanted values and schedule a timeout.
#include "DnsSdService.h"

#include "Logger.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>

// One Avahi client and its entry group, driven from the client's poll thread.
class AvahiAdvertiser {
public:
    explicit AvahiAdvertiser(AdvertisementStatus& status) : m_Status(status) {}
    AvahiAdvertiser(const AvahiAdvertiser&) = delete;
    AvahiAdvertiser& operator=(const AvahiAdvertiser&) = delete;

    // Starts the poll thread, which then connects to the daemon.
    bool start() {
        m_Poll.reset(avahi_threaded_poll_new());
        if (!m_Poll) {
            CLogger::error("DNS-SD: cannot create the Avahi poll loop");
            return false;
        }
        const AvahiPoll* api = avahi_threaded_poll_get(m_Poll.get());
        timeval now{};
        avahi_elapse_time(&now, 0, 0);
        m_Connect = api->timeout_new(api, &now, onConnect, this);
        m_Publish = api->timeout_new(api, nullptr, onPublish, this);
        m_Release = api->timeout_new(api, nullptr, onRelease, this);
        if (avahi_threaded_poll_start(m_Poll.get()) < 0) {
            CLogger::error("DNS-SD: cannot start the Avahi poll loop");
            return false;
        }
        return true;
    }

    // Frees the client on the poll thread (all D-Bus work stays there), then
    // ends that thread.
    void stop() {
        std::promise<void> released;
        auto done = released.get_future();
        avahi_threaded_poll_lock(m_Poll.get());
        m_Released = &released;
        schedule(m_Release, 0);
        avahi_threaded_poll_unlock(m_Poll.get());
        done.wait_for(std::chrono::seconds(5));
        avahi_threaded_poll_stop(m_Poll.get());
    }

    void update(const std::string& name, const std::string& type, std::uint16_t port) {
        avahi_threaded_poll_lock(m_Poll.get());
        m_Name = name;
        m_Type = type;
        m_Port = port;
        schedule(m_Publish, 0);
        avahi_threaded_poll_unlock(m_Poll.get());
    }

private:
    // With NO_FAIL the client waits for the Avahi daemon by itself, but it
    // cannot be created without the D-Bus system bus: retry until there is one.
    void connect() {
        dropGroup();
        m_Client.reset();
        m_Client.reset(avahi_client_new(avahi_threaded_poll_get(m_Poll.get()), AVAHI_CLIENT_NO_FAIL,
                                        onClientState, this, &m_ClientError));
        if (m_Client) return;
        m_Status.set(std::string("not advertised: cannot reach Avahi (") + avahi_strerror(m_ClientError) + ")");
        if (!m_Reported) {
            CLogger::error("DNS-SD: cannot connect to Avahi (%s); retrying every %d s",
                           avahi_strerror(m_ClientError), kRetrySeconds);
            m_Reported = true;
        }
        schedule(m_Connect, kRetrySeconds * 1000);
    }

    // Clients are never created or freed inside their own callback, so a new
    // connection always starts from a timeout of the poll loop.
    void schedule(AvahiTimeout* timeout, unsigned milliseconds) {
        timeval when{};
        avahi_elapse_time(&when, milliseconds, 0);
        avahi_threaded_poll_get(m_Poll.get())->timeout_update(timeout, &when);
    }

    static void onConnect(AvahiTimeout*, void* self) { static_cast<AvahiAdvertiser*>(self)->connect(); }

    static void onRelease(AvahiTimeout*, void* self) {
        auto* advertiser = static_cast<AvahiAdvertiser*>(self);
        advertiser->dropGroup();
        advertiser->m_Client.reset();
        advertiser->m_Released->set_value();
    }

    static void onPublish(AvahiTimeout*, void* self) {
        auto* advertiser = static_cast<AvahiAdvertiser*>(self);
        AvahiClient* client = advertiser->m_Client.get();
        if (client != nullptr && avahi_client_get_state(client) == AVAHI_CLIENT_S_RUNNING) {
            advertiser->publish(client);
        }
    }

    static void onClientState(AvahiClient* client, AvahiClientState state, void* self) {
        static_cast<AvahiAdvertiser*>(self)->clientStateChanged(client, state);
    }

    static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
        static_cast<AvahiAdvertiser*>(self)->groupStateChanged(group, state);
    }

    void clientStateChanged(AvahiClient* client, AvahiClientState state) {
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                publish(client);
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                // The host name is being (re)registered: withdraw until running.
                if (m_Group != nullptr) avahi_entry_group_reset(m_Group);
                break;
            case AVAHI_CLIENT_CONNECTING:
                dropGroup();
                m_Reported = true;
                m_Status.set("not advertised: avahi-daemon is not running");
                CLogger::error("DNS-SD: the Avahi daemon is not running; \"%s\" will be advertised "
                               "once it starts", m_Name.c_str());
                break;
            case AVAHI_CLIENT_FAILURE:
                // The daemon went away (or the bus broke): start over with a new
                // client, which waits for the daemon to come back.
                dropGroup();
                if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
                    schedule(m_Connect, 0);
                } else {
                    m_Status.set(std::string("not advertised: ") + avahi_strerror(avahi_client_errno(client)));
                    CLogger::error("DNS-SD: Avahi client failure: %s",
                                   avahi_strerror(avahi_client_errno(client)));
                    schedule(m_Connect, kRetrySeconds * 1000);
                }
                break;
        }
    }

    void groupStateChanged(AvahiEntryGroup* group, AvahiEntryGroupState state) {
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                m_Status.set("advertised as \"" + m_Name + "\"");
                CLogger::info("DNS-SD: advertised \"%s\" as %s on port %u", m_Name.c_str(),
                              m_Type.c_str(), static_cast<unsigned>(m_Port));
                break;
            case AVAHI_ENTRY_GROUP_COLLISION: {
                // Another host uses the name: take the next alternative and retry.
                std::unique_ptr<char, decltype(&avahi_free)> next(
                    avahi_alternative_service_name(m_Name.c_str()), avahi_free);
                CLogger::error("DNS-SD: name \"%s\" in use, trying \"%s\"", m_Name.c_str(),
                               next.get());
                m_Status.set("not advertised yet: the name \"" + m_Name + "\" is taken on the network");
                m_Name = next.get();
                publish(avahi_entry_group_get_client(group));
                break;
            }
            case AVAHI_ENTRY_GROUP_FAILURE:
                m_Status.set(std::string("not advertised: ") +
                             avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
                CLogger::error("DNS-SD: advertising \"%s\" failed: %s", m_Name.c_str(),
                               avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
                break;
            case AVAHI_ENTRY_GROUP_UNCOMMITED:
            case AVAHI_ENTRY_GROUP_REGISTERING:
                break;
        }
    }

    // Runs on the poll thread.
    void publish(AvahiClient* client) {
        if (m_Group == nullptr) m_Group = avahi_entry_group_new(client, onGroupState, this);
        if (m_Group == nullptr) {
            CLogger::error("DNS-SD: cannot create an entry group: %s",
                           avahi_strerror(avahi_client_errno(client)));
            return;
        }
        avahi_entry_group_reset(m_Group);
        const int result = avahi_entry_group_add_service(
            m_Group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
            m_Name.c_str(), m_Type.c_str(), nullptr, nullptr, m_Port, nullptr);
        if (result == AVAHI_ERR_COLLISION) return groupStateChanged(m_Group, AVAHI_ENTRY_GROUP_COLLISION);
        if (result < 0 || (avahi_entry_group_commit(m_Group)) < 0) {
            CLogger::error("DNS-SD: cannot advertise \"%s\" as %s on port %u: %s", m_Name.c_str(),
                           m_Type.c_str(), static_cast<unsigned>(m_Port),
                           avahi_strerror(avahi_client_errno(client)));
        }
    }

    // The daemon went away: its entry groups are gone with it.
    void dropGroup() {
        if (m_Group != nullptr) avahi_entry_group_free(m_Group);
        m_Group = nullptr;
    }

    AdvertisementStatus& m_Status;
    std::string m_Name;
    std::string m_Type;
    std::uint16_t m_Port = 0;
    std::unique_ptr<AvahiThreadedPoll, decltype(&avahi_threaded_poll_free)> m_Poll{
        nullptr, avahi_threaded_poll_free};
    std::unique_ptr<AvahiClient, decltype(&avahi_client_free)> m_Client{nullptr,
                                                                         avahi_client_free};
    AvahiEntryGroup* m_Group = nullptr;  // owned by m_Client
    AvahiTimeout* m_Connect = nullptr;   // owned by m_Poll
    AvahiTimeout* m_Publish = nullptr;   // owned by m_Poll
    AvahiTimeout* m_Release = nullptr;   // owned by m_Poll
    std::promise<void>* m_Released = nullptr;
    bool m_Reported = false;             // the daemon's absence was logged
    int m_ClientError = 0;               // why the last client could not be made

    static constexpr int kRetrySeconds = 5;
};

void AdvertisementStatus::set(std::string text) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Text = std::move(text);
}

std::string AdvertisementStatus::text() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Text;
}

DnsSdService::DnsSdService() = default;

DnsSdService::~DnsSdService() { withdraw(); }

void DnsSdService::advertise(const std::string& name, const std::string& type, std::uint16_t port) {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    if (!m_Advertiser) {
        auto created = std::make_unique<AvahiAdvertiser>(m_Status);
        if (!created->start()) {
            m_Status.set("not advertised: the Avahi client could not start");
            return;
        }
        m_Advertiser = std::move(created);
    }
    m_Advertiser->update(name, type, port);
}

void DnsSdService::withdraw() {
    std::lock_guard<CThreadMutex> lock(m_Lock);
    if (!m_Advertiser) return;
    m_Advertiser->stop();
    m_Advertiser.reset();
    m_Status.set("not advertised");
}
