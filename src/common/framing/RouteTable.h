#pragma once

#include "ReceivedOscMessage.h"

#include <cstring>
#include <initializer_list>
#include <vector>

// An OSC endpoint's vocabulary: addresses and what each does, tested in
// order, the first that matches winning; a message no route matches goes to
// the fallback. Routes are plain functions of a context (what the endpoint
// may act on) and the message, and return a value for the endpoint (whom the
// message went on to, say), so a table is exercised with a fake context and
// no socket.
template <class Context>
class RouteTable {
public:
    using Handler = unsigned (*)(Context&, const ReceivedOscMessage&);
    enum class Match { Exact, Prefix };
    struct Route {
        const char* address;
        Handler handle;
        Match match = Match::Exact;
    };

    RouteTable(std::initializer_list<Route> routes, Handler fallback) : m_Routes(routes), m_Fallback(fallback) {}

    // The route for a message's address, which the caller runs:
    // table.route(message.AddressPattern())(context, message).
    Handler route(const char* address) const {
        for (const Route& entry : m_Routes) {
            if (matches(entry, address)) return entry.handle;
        }
        return m_Fallback;
    }

private:
    static bool matches(const Route& route, const char* address) {
        return route.match == Match::Prefix ? std::strncmp(address, route.address, std::strlen(route.address)) == 0
                                            : std::strcmp(address, route.address) == 0;
    }

    const std::vector<Route> m_Routes;
    const Handler m_Fallback;
};
