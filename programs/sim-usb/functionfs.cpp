#include "functionfs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace brigant::simusb
{

namespace
{

constexpr std::uint8_t kClassMassStorage = 0x08;
constexpr std::uint8_t kSubclassScsi = 0x06;
constexpr std::uint8_t kProtocolBulkOnly = 0x50;
constexpr std::uint8_t kRequestGetMaxLun = 0xFE;
constexpr std::uint8_t kRequestBulkOnlyReset = 0xFF;
// One f_fs request is one kernel buffer: keep them modest.
constexpr std::size_t kChunk = 64 * 1024;

struct __attribute__((packed)) EndpointSet {
    usb_interface_descriptor interface;
    usb_endpoint_descriptor_no_audio in;
    usb_endpoint_descriptor_no_audio out;
};

struct __attribute__((packed)) Descriptors {
    usb_functionfs_descs_head_v2 header;
    __le32 fullSpeedCount;
    __le32 highSpeedCount;
    EndpointSet fullSpeed;
    EndpointSet highSpeed;
};

constexpr char kInterfaceName[] = "Bulk-Only Storage";

struct __attribute__((packed)) Strings {
    usb_functionfs_strings_head header;
    __le16 language;
    char text[sizeof kInterfaceName];
};

EndpointSet MakeEndpointSet(std::uint16_t packetSize)
{
    EndpointSet s;
    std::memset(&s, 0, sizeof s);
    s.interface.bLength = sizeof s.interface;
    s.interface.bDescriptorType = USB_DT_INTERFACE;
    s.interface.bNumEndpoints = 2;
    s.interface.bInterfaceClass = kClassMassStorage;
    s.interface.bInterfaceSubClass = kSubclassScsi;
    s.interface.bInterfaceProtocol = kProtocolBulkOnly;
    s.interface.iInterface = 1;
    s.in.bLength = USB_DT_ENDPOINT_SIZE;
    s.in.bDescriptorType = USB_DT_ENDPOINT;
    s.in.bEndpointAddress = 1 | USB_DIR_IN;
    s.in.bmAttributes = USB_ENDPOINT_XFER_BULK;
    s.in.wMaxPacketSize = htole16(packetSize);
    s.out = s.in;
    s.out.bEndpointAddress = 2 | USB_DIR_OUT;
    return s;
}

bool WriteFile(const std::string &path, const std::string &text, std::string &error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int saved = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) {
        error = "cannot write '" + text + "' to " + path + ": " + std::strerror(n < 0 ? saved : EIO);
        return false;
    }
    return true;
}

std::string Hex4(std::uint16_t v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04x", v);
    return buf;
}

} // namespace

FfsInterface::~FfsInterface()
{
    for (int fd : {in_, out_, ep0_})
        if (fd >= 0)
            ::close(fd);
}

bool FfsInterface::open(const std::string &dir, std::string &error)
{
    ep0_ = ::open((dir + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (ep0_ < 0) {
        error = "cannot open " + dir + "/ep0: " + std::strerror(errno);
        return false;
    }
    Descriptors d;
    std::memset(&d, 0, sizeof d);
    d.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    d.header.length = htole32(sizeof d);
    d.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    d.fullSpeedCount = d.highSpeedCount = htole32(3);
    d.fullSpeed = MakeEndpointSet(64);
    d.highSpeed = MakeEndpointSet(512);
    Strings s;
    std::memset(&s, 0, sizeof s);
    s.header.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    s.header.length = htole32(sizeof s);
    s.header.str_count = htole32(1);
    s.header.lang_count = htole32(1);
    s.language = htole16(0x0409);
    std::memcpy(s.text, kInterfaceName, sizeof kInterfaceName);
    if (::write(ep0_, &d, sizeof d) != static_cast<ssize_t>(sizeof d) ||
        ::write(ep0_, &s, sizeof s) != static_cast<ssize_t>(sizeof s)) {
        error = "FunctionFS refused the descriptors: " + std::string(std::strerror(errno));
        return false;
    }
    in_ = ::open((dir + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
    out_ = ::open((dir + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
    if (in_ < 0 || out_ < 0) {
        error = "cannot open the bulk endpoints in " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void FfsInterface::startControlThread(std::function<void(const std::string &)> log)
{
    log_ = std::move(log);
    std::thread([this] { controlLoop(); }).detach();
}

void FfsInterface::controlLoop()
{
    static const char *const kEventNames[] = {"bind",  "unbind",  "enable", "disable",
                                              "setup", "suspend", "resume"};
    usb_functionfs_event events[4];
    for (;;) {
        const ssize_t n = ::read(ep0_, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (log_)
                log_(std::string("ep0 read failed: ") + std::strerror(errno));
            return;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
            const usb_functionfs_event &ev = events[i];
            if (ev.type != FUNCTIONFS_SETUP) {
                if (ev.type == FUNCTIONFS_ENABLE || ev.type == FUNCTIONFS_DISABLE ||
                    ev.type == FUNCTIONFS_UNBIND)
                    ++hostResets_;
                if (log_ && ev.type <= FUNCTIONFS_RESUME)
                    log_(std::string("event ") + kEventNames[ev.type]);
                continue;
            }
            const usb_ctrlrequest &rq = ev.u.setup;
            const bool toHost = (rq.bRequestType & USB_DIR_IN) != 0;
            const bool classInterface = (rq.bRequestType & (USB_TYPE_MASK | USB_RECIP_MASK)) ==
                                        (USB_TYPE_CLASS | USB_RECIP_INTERFACE);
            if (classInterface && toHost && rq.bRequest == kRequestGetMaxLun && le16toh(rq.wLength) >= 1) {
                const std::uint8_t maxLun = 0;
                if (::write(ep0_, &maxLun, 1) < 0 && log_)
                    log_(std::string("GET MAX LUN reply failed: ") + std::strerror(errno));
            } else if (classInterface && !toHost && rq.bRequest == kRequestBulkOnlyReset &&
                       le16toh(rq.wLength) == 0) {
                ++resets_;
                ++hostResets_;
                if (::read(ep0_, nullptr, 0) < 0 && log_)
                    log_(std::string("bulk-only reset status failed: ") + std::strerror(errno));
                else if (log_)
                    log_("bulk-only reset");
            } else {
                // I/O against the request's direction stalls ep0: the request is not supported.
                if (log_) {
                    char text[96];
                    std::snprintf(text, sizeof text, "stall control request %02X %02X", rq.bRequestType,
                                  rq.bRequest);
                    log_(text);
                }
                if (toHost) {
                    std::uint8_t dummy;
                    (void)!::read(ep0_, &dummy, 0);
                } else {
                    (void)!::write(ep0_, nullptr, 0);
                }
            }
        }
    }
}

long FfsInterface::readOut(std::uint8_t *buffer, std::size_t length) { return ::read(out_, buffer, length); }

bool FfsInterface::readOutFully(std::uint8_t *buffer, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(out_, buffer + done, std::min(kChunk, length - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool FfsInterface::writeIn(const std::uint8_t *data, std::size_t length)
{
    std::size_t done = 0;
    do {
        const std::size_t chunk = std::min(kChunk, length - done);
        const ssize_t n = ::write(in_, data + done, chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || static_cast<std::size_t>(n) != chunk)
            return false;
        done += chunk;
    } while (done < length);
    return true;
}

void FfsInterface::haltBoth()
{
    // FunctionFS halts an endpoint when it is used against its direction.
    std::uint8_t dummy = 0;
    (void)!::read(in_, &dummy, 1);
    (void)!::write(out_, &dummy, 1);
}

std::size_t FfsInterface::inPacketSize()
{
    usb_endpoint_descriptor desc;
    std::memset(&desc, 0, sizeof desc);
    if (::ioctl(in_, FUNCTIONFS_ENDPOINT_DESC, &desc) == 0 && le16toh(desc.wMaxPacketSize) != 0)
        return le16toh(desc.wMaxPacketSize) & 0x7FF;
    return 512;
}

bool Gadget::setIdentity(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t bcdDevice,
                         const std::string &manufacturer, const std::string &product,
                         const std::string &serial, std::string &error)
{
    const std::string strings = dir_ + "/strings/0x409";
    ::mkdir(strings.c_str(), 0755); // configfs makes the attributes; it may exist already
    return WriteFile(dir_ + "/idVendor", Hex4(vendorId), error) &&
           WriteFile(dir_ + "/idProduct", Hex4(productId), error) &&
           WriteFile(dir_ + "/bcdDevice", Hex4(bcdDevice), error) &&
           WriteFile(dir_ + "/bcdUSB", "0x0200", error) &&
           WriteFile(strings + "/manufacturer", manufacturer, error) &&
           WriteFile(strings + "/product", product, error) &&
           WriteFile(strings + "/serialnumber", serial, error);
}

bool Gadget::attach(std::string &error) { return WriteFile(dir_ + "/UDC", udc_, error); }

bool Gadget::detach(std::string &error) { return WriteFile(dir_ + "/UDC", "\n", error); }

std::string FirstUdc()
{
    std::vector<std::string> names;
    if (DIR *d = ::opendir("/sys/class/udc")) {
        while (const dirent *e = ::readdir(d))
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names.empty() ? std::string() : names.front();
}

} // namespace brigant::simusb
