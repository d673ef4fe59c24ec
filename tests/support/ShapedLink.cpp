#include "ShapedLink.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace {

std::atomic<int> links{0};

// tbf's bucket holds a few full packets, its queue 50 ms of the rate: what
// a busy access point does.
std::string shaping(const std::string& device, const std::string& rate, const char* verb) {
    return std::string("tc qdisc ") + verb + " dev " + device + " root tbf rate " + rate +
           " burst 32kb latency 50ms";
}

}  // namespace

ShapedLink::ShapedLink(const std::string& rate) {
    if (geteuid() != 0) {
        m_Unavailable = "a shaped link needs root (network namespaces and tc)";
        return;
    }
    const int number = links++ % 250;
    const std::string id = std::to_string(getpid() % 10000) + "x" + std::to_string(number);
    m_Namespace = "corvilane-tablet-" + id;
    m_ServerSide = "clS" + id;
    m_TabletSide = "clT" + id;
    const std::string net = "10.213." + std::to_string(number) + ".";
    m_ServerAddress = net + "1";
    m_TabletAddress = net + "2";
    const bool made = run("ip netns add " + m_Namespace) &&
                      run("ip link add " + m_ServerSide + " type veth peer name " + m_TabletSide + " netns " +
                          m_Namespace) &&
                      run("ip addr add " + m_ServerAddress + "/30 dev " + m_ServerSide) &&
                      run("ip link set " + m_ServerSide + " up") &&
                      run("ip -n " + m_Namespace + " addr add " + m_TabletAddress + "/30 dev " + m_TabletSide) &&
                      run("ip -n " + m_Namespace + " link set " + m_TabletSide + " up") &&
                      run("ip -n " + m_Namespace + " link set lo up") &&
                      run(shaping(m_ServerSide, rate, "add"));
    if (!made) m_Unavailable = "network namespaces or tc tbf are not permitted here";
}

ShapedLink::~ShapedLink() {
    if (m_Namespace.empty()) return;
    run("ip link del " + m_ServerSide);
    run("ip netns del " + m_Namespace);
}

bool ShapedLink::run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

void ShapedLink::inside(const std::function<void()>& work) const {
    std::thread([&] {
        const int own = open(("/var/run/netns/" + m_Namespace).c_str(), O_RDONLY | O_CLOEXEC);
        if (own < 0 || setns(own, CLONE_NEWNET) != 0) std::abort();
        close(own);
        work();
    }).join();
}

void ShapedLink::setRate(const std::string& rate) { run(shaping(m_ServerSide, rate, "change")); }

void ShapedLink::cut() { run("ip -n " + m_Namespace + " link set " + m_TabletSide + " down"); }
