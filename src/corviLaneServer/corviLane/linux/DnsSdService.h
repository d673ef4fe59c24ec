#pragma once

#include "ThreadMutex.h"

#include "Platform.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class AvahiAdvertiser;

// The advertisement's state in words, set on Avahi's thread, read by others.
class AdvertisementStatus {
public:
    void set(std::string text);
    std::string text() const;

private:
    mutable std::mutex m_Lock;
    std::string m_Text = "not advertised";
};

// Advertises the server on the local network by DNS-SD through the Avahi
// daemon. The advertisement lasts until it is withdrawn and survives restarts
// of the daemon; a daemon that is not running is logged, not fatal.
class DnsSdService final : public DnsSdAdvertiser {
public:
    DnsSdService();
    ~DnsSdService() override;

    void advertise(const std::string& name, const std::string& type, std::uint16_t port) override;
    void withdraw() override;
    std::string status() const override { return m_Status.text(); }

private:
    CThreadMutex m_Lock;
    AdvertisementStatus m_Status;
    std::unique_ptr<AvahiAdvertiser> m_Advertiser;
};
