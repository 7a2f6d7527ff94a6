#pragma once
// The device side of a USB mass-storage interface on Linux FunctionFS, and the
// configfs gadget it belongs to.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace brigant::simusb
{

// One FunctionFS instance (a mounted functionfs directory) carrying a
// mass-storage interface (class 8, SCSI transparent, bulk-only) with one
// bulk-in and one bulk-out endpoint.
class FfsInterface
{
  public:
    ~FfsInterface();

    // Opens ep0, writes the descriptors and strings and opens the endpoints.
    bool open(const std::string &dir, std::string &error);
    // Serves ep0 on a thread of its own: GET MAX LUN, the bulk-only reset,
    // and the bind / enable events (logged when `log` is set).
    void startControlThread(std::function<void(const std::string &)> log);

    // Blocking endpoint I/O. -1 with errno on failure; ESHUTDOWN means the
    // host went away (disconnect, reset), and the caller starts over.
    long readOut(std::uint8_t *buffer, std::size_t length);
    bool readOutFully(std::uint8_t *buffer, std::size_t length);
    bool writeIn(const std::uint8_t *data, std::size_t length);
    // Stalls both bulk endpoints (after an invalid wrapper) until the host
    // clears them in its reset recovery.
    void haltBoth();
    // wMaxPacketSize of the bulk-in endpoint at the speed in use.
    std::size_t inPacketSize();

    // Counts bulk-only resets the host requested.
    std::uint32_t resetRequests() const { return resets_.load(); }
    // Counts every event that ends what the host had in flight: a bulk-only
    // reset, and the interface being disabled or enabled (a port reset, a
    // disconnect, a new configuration).
    std::uint32_t hostResets() const { return hostResets_.load(); }

  private:
    void controlLoop();

    int ep0_ = -1, in_ = -1, out_ = -1;
    std::atomic<std::uint32_t> resets_{0};
    std::atomic<std::uint32_t> hostResets_{0};
    std::function<void(const std::string &)> log_;
};

// A configfs USB gadget (/sys/kernel/config/usb_gadget/NAME) whose function
// and configuration exist already; this writes its identity and plugs it into
// a UDC or out of it.
class Gadget
{
  public:
    Gadget(std::string dir, std::string udc) : dir_(std::move(dir)), udc_(std::move(udc)) {}

    bool setIdentity(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t bcdDevice,
                     const std::string &manufacturer, const std::string &product, const std::string &serial,
                     std::string &error);
    // The host sees a device arrive / leave, as with a cable.
    bool attach(std::string &error);
    bool detach(std::string &error);

    const std::string &udc() const { return udc_; }

  private:
    std::string dir_;
    std::string udc_;
};

// The first UDC in /sys/class/udc, empty when there is none.
std::string FirstUdc();

} // namespace brigant::simusb
