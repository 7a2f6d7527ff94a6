#include "cli/signal_safe_output.h"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace brigant::cli
{

SignalSafeOutput::SignalSafeOutput(int fd, bool buffered)
    : fd_(fd), lineBuffered_(buffered && ::isatty(fd) == 1)
{
    if (buffered)
        setp(buffer_, buffer_ + sizeof buffer_);
}

SignalSafeOutput::~SignalSafeOutput() { sync(); }

bool SignalSafeOutput::send(const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int SignalSafeOutput::sync()
{
    const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
    if (pending == 0)
        return 0;
    const bool sent = send(pbase(), pending);
    setp(pbase(), epptr());
    return sent ? 0 : -1;
}

int SignalSafeOutput::overflow(int c)
{
    if (sync() != 0)
        return traits_type::eof();
    if (c == traits_type::eof())
        return traits_type::not_eof(c);
    const char ch = static_cast<char>(c);
    if (pbase() != nullptr) {
        *pptr() = ch;
        pbump(1);
        if (lineBuffered_ && ch == '\n' && sync() != 0)
            return traits_type::eof();
        return c;
    }
    return send(&ch, 1) ? c : traits_type::eof();
}

std::streamsize SignalSafeOutput::xsputn(const char *s, std::streamsize n)
{
    if (pbase() != nullptr && n <= epptr() - pptr()) {
        std::char_traits<char>::copy(pptr(), s, static_cast<std::size_t>(n));
        pbump(static_cast<int>(n));
        if (lineBuffered_ && std::char_traits<char>::find(s, static_cast<std::size_t>(n), '\n') &&
            sync() != 0)
            return 0;
        return n;
    }
    if (sync() != 0)
        return 0;
    return send(s, static_cast<std::size_t>(n)) ? n : 0;
}

void UseSignalSafeOutput()
{
    // What C code printed first goes out before.
    std::fflush(stdout);
    // Never destroyed: the standard streams are flushed after every static
    // object is gone.
    static auto *const out = new SignalSafeOutput(STDOUT_FILENO, true);
    static auto *const err = new SignalSafeOutput(STDERR_FILENO, false);
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
}

} // namespace brigant::cli
