#include "corviLaneServer.h"

#include "DnsSdService.h"
#include "SettingsFile.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

SettingsFile* _settings = nullptr;
std::atomic<bool> daemonRunning{false};

static_assert(std::atomic<bool>::is_always_lock_free, "daemonRunning is written by signal handlers");

namespace {

constexpr const char* kSettingsFileName = "corvilane-server.conf";
constexpr const char* kServiceType = "_corvilane._udp";

// The TCP port the tablets connect to over Wi-Fi; 0 while there is no listener.
std::uint16_t wifiListenerPort() { return 0; }

std::string hostName() {
    char name[1024] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

void advertiseService() {
    // Read for compatibility with existing configuration files; it does not
    // change the registration.
    (void)_settings->getIntVal("debug.bonjour_inverse", 0);
    DnsSdService::advertise(hostName(), kServiceType, wifiListenerPort());
}

// Deletes a registry object once nothing can touch it any more.
template <class T>
void release(T*& object) {
    delete object;
    object = nullptr;
}

}  // namespace

void startThreads(bool usb) {
    (void)usb;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    release(_settings);
    _settings = new SettingsFile(kSettingsFileName);
    advertiseService();
}

void stopThreads() {
    DnsSdService::withdraw();
    release(_settings);
}
