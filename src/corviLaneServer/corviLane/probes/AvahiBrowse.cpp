#include "AvahiBrowse.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

#include <algorithm>
#include <memory>

namespace {

// One browse on a poll loop of its own, run on the calling thread.
class Browse {
public:
    explicit Browse(CheckFacts::Advertising& found) : m_Found(found) {}

    void run(const std::string& type, std::chrono::milliseconds timeout) {
        m_Poll.reset(avahi_simple_poll_new());
        if (!m_Poll) return fail("no memory for the Avahi poll loop");
        int error = 0;
        m_Client.reset(avahi_client_new(avahi_simple_poll_get(m_Poll.get()), static_cast<AvahiClientFlags>(0),
                                        nullptr, nullptr, &error));
        if (!m_Client) {
            if (error == AVAHI_ERR_NO_DAEMON) {
                m_Found.daemon = Known::No;
                return;
            }
            return fail(avahi_strerror(error));
        }
        m_Found.daemon = Known::Yes;
        const char* host = avahi_client_get_host_name_fqdn(m_Client.get());
        m_Host = host != nullptr ? host : "";
        m_Browser = avahi_service_browser_new(m_Client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, type.c_str(),
                                              nullptr, static_cast<AvahiLookupFlags>(0), onBrowse, this);
        if (m_Browser == nullptr) return fail(avahi_strerror(avahi_client_errno(m_Client.get())));
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!(m_AllListed && m_Resolving == 0)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || avahi_simple_poll_iterate(m_Poll.get(), static_cast<int>(left.count())) != 0) break;
        }
    }

private:
    void fail(const std::string& why) {
        m_Found.daemon = Known::Unknown;
        m_Found.error = why;
    }

    static void onBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                         const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* self) {
        auto* browse = static_cast<Browse*>(self);
        if (event == AVAHI_BROWSER_ALL_FOR_NOW || event == AVAHI_BROWSER_FAILURE) browse->m_AllListed = true;
        if (event != AVAHI_BROWSER_NEW) return;
        // Freed in its own callback.
        if (avahi_service_resolver_new(browse->m_Client.get(), interface, protocol, name, type, domain, AVAHI_PROTO_INET,
                                       static_cast<AvahiLookupFlags>(0), onResolve, browse) != nullptr) {
            ++browse->m_Resolving;
        }
    }

    static void onResolve(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                          const char* name, const char*, const char*, const char* host, const AvahiAddress*,
                          std::uint16_t port, AvahiStringList*, AvahiLookupResultFlags, void* self) {
        auto* browse = static_cast<Browse*>(self);
        if (event == AVAHI_RESOLVER_FOUND && host != nullptr && browse->m_Host == host) {
            browse->m_Found.name = name != nullptr ? name : "";
            std::vector<std::uint16_t>& ports = browse->m_Found.ports;
            if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
        }
        --browse->m_Resolving;
        avahi_service_resolver_free(resolver);
    }

    CheckFacts::Advertising& m_Found;
    std::unique_ptr<AvahiSimplePoll, decltype(&avahi_simple_poll_free)> m_Poll{nullptr, avahi_simple_poll_free};
    std::unique_ptr<AvahiClient, decltype(&avahi_client_free)> m_Client{nullptr, avahi_client_free};
    AvahiServiceBrowser* m_Browser = nullptr;  // owned by the client
    std::string m_Host;
    bool m_AllListed = false;
    int m_Resolving = 0;
};

}  // namespace

CheckFacts::Advertising browseOwnServices(const std::string& type, std::chrono::milliseconds timeout) {
    CheckFacts::Advertising found;
    Browse(found).run(type, timeout);
    return found;
}
