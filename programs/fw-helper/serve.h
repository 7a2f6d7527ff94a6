#pragma once
// The helper's request loop, apart from where its bytes come from and go and
// from the device behind it. helper.cpp runs it on standard input and output
// with the device of device_sg.cpp or device_relay.cpp; the fuzz target runs
// it on bytes in memory with a pretend device.
#include "device/linux/helper_protocol.h"

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/types.h>

namespace brigant::helper
{

struct ServeIo {
    // Like read(2) and write(2): the bytes moved, 0 at the end of the input,
    // or -1 with errno set (EINTR is retried).
    std::function<ssize_t(void *buffer, std::size_t size)> read;
    std::function<ssize_t(const void *buffer, std::size_t size)> write;
    // Where each refusal and a request cut short are logged; none when null.
    std::FILE *log = nullptr;
};

// The device end: see CheckDevice and RunOnDevice in device.h.
struct ServeDevice {
    std::function<std::string(const std::string &path)> check;
    std::function<void(const Request &r, std::uint8_t *data, Reply &reply)> run;
};

struct ServeCounts {
    unsigned long served = 0;
    unsigned long refused = 0;
};

// Answers requests until the end of the input, a request cut short, a
// malformed request (refused, then the end) or a reply that cannot be written.
// A request reaches device.check only after its own checks passed, and
// device.run only after device.check accepted its path.
ServeCounts Serve(const ServeIo &io, const ServeDevice &device);

} // namespace brigant::helper
