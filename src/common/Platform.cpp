#include "Platform.h"

#include "UsbDeviceLibrary.h"
#include "WaveformAnalyzer.h"

#include <atomic>

namespace {

// A platform with nothing: no MIDI system, no service discovery, no Live, no
// audio decoding.
class BarePlatform final : public Platform {
public:
    int createMidiClient(const std::string&) override { return -1; }
    std::unique_ptr<VirtualMidiSource> createMidiSource(const std::string&, const std::string&) override {
        return nullptr;
    }
    DnsSdAdvertiser& dnsSd() override { return m_NoAdvertiser; }
    std::unique_ptr<LiveChecker> makeLiveChecker() override { return std::make_unique<NoLive>(); }
    std::unique_ptr<WaveformAnalyzer> makeAnalyzer() override { return nullptr; }
    UsbDeviceLibrary& usbDevices() override { return m_NoUsb; }
    std::string computerName() override { return {}; }

private:
    struct NoAdvertiser final : DnsSdAdvertiser {
        void advertise(const std::string&, const std::string&, std::uint16_t) override {}
        void withdraw() override {}
    };
    struct NoLive final : LiveChecker {
        bool live_is_running() override { return false; }
    };
    struct NoUsb final : UsbDeviceLibrary {
        int subscribe(Notify) override { return -1; }
        void unsubscribe() override {}
        int connectDevice(const UsbDevice&) override { return -1; }
        std::uint32_t connectionId(const UsbDevice&) override { return 0; }
        int validatePairing(const UsbDevice&) override { return -1; }
        int connectToPort(std::uint32_t, std::uint16_t, int&) override { return -1; }
    };
    NoAdvertiser m_NoAdvertiser;
    NoUsb m_NoUsb;
};

BarePlatform barePlatform;
std::atomic<Platform*> installed{nullptr};

}  // namespace

void Platform::install(Platform* platform) { installed = platform; }

Platform& Platform::current() {
    Platform* platform = installed.load();
    return platform != nullptr ? *platform : barePlatform;
}
