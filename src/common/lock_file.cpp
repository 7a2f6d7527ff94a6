#include "common/lock_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brigant
{

namespace
{

std::string HolderRecord(const LockHolder &h)
{
    return "pid=" + std::to_string(h.pid) + "\nprogram=" + h.program + "\nverb=" + h.verb +
           "\nsince=" + std::to_string(static_cast<long long>(h.since)) + "\n";
}

LockHolder ReadHolder(int fd)
{
    char text[512] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    LockHolder h;
    if (n <= 0)
        return h;
    const std::string record(text, static_cast<std::size_t>(n));
    std::size_t at = 0;
    while (at < record.size()) {
        const std::size_t end = std::min(record.find('\n', at), record.size());
        const std::string line = record.substr(at, end - at);
        at = end + 1;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "pid")
            h.pid = std::strtol(value.c_str(), nullptr, 10);
        else if (key == "program")
            h.program = value;
        else if (key == "verb")
            h.verb = value;
        else if (key == "since")
            h.since = static_cast<std::time_t>(std::strtoll(value.c_str(), nullptr, 10));
    }
    return h;
}

// Opens (creating) the lock file without following a link; read-only when
// another user's file cannot be written (flock needs no write access).
int OpenLockFile(const std::string &file, bool create, std::string &error)
{
    int fd = ::open(file.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
    if (fd < 0 && (errno == EACCES || errno == EPERM))
        fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = file + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = file + ": not a regular file";
        ::close(fd);
        return -1;
    }
    // Whoever creates it leaves it open to the next program, whatever its user.
    if (st.st_uid == ::geteuid() && (st.st_mode & 0666) != 0666)
        ::fchmod(fd, 0666);
    return fd;
}

} // namespace

std::string HolderText(const LockHolder &holder)
{
    std::string text = holder.program.empty() ? "another program" : holder.program;
    if (!holder.verb.empty())
        text += " " + holder.verb;
    std::string details;
    if (holder.pid > 0)
        details = "PID " + std::to_string(holder.pid);
    if (holder.since > 0) {
        char clock[16] = {};
        struct tm local {
        };
        if (::localtime_r(&holder.since, &local) && std::strftime(clock, sizeof clock, "%H:%M:%S", &local))
            details += std::string(details.empty() ? "" : ", ") + "since " + clock;
    }
    return details.empty() ? text : text + " (" + details + ")";
}

std::string DefaultLockDirectory()
{
    const char *dir = std::getenv("BRIGANT_LOCK_DIR");
    return dir && *dir ? dir : "/run/lock/brigant-fw";
}

std::string LockFileName(const std::string &location)
{
    std::string name;
    for (const char c : location) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '-' || c == '.' || c == '_';
        if (name.empty() && (c == '/' || c == '.'))
            continue;
        name += plain ? c : '_';
    }
    if (name.empty())
        name = "bridge";
    // A long state folder's path: its end, and a hash of the whole to keep it apart.
    if (name.size() > 160)
        name = std::to_string(std::hash<std::string>{}(location)) + "-" + name.substr(name.size() - 140);
    return name + ".lock";
}

void MakeLockDirectory(const std::string &directory)
{
    // Every user's programs lock here: the folder is open to all, sticky
    // (its parent, /run/lock, is missing on a bare system: made too).
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(directory).parent_path(), ec);
    if (::mkdir(directory.c_str(), 01777) == 0)
        ::chmod(directory.c_str(), 01777);
}

LockFileAttempt TryLockFile(const std::string &file, const LockHolder &me)
{
    LockFileAttempt a;
    const int fd = OpenLockFile(file, true, a.error);
    if (fd < 0)
        return a;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            a.busy = true;
            a.holder = ReadHolder(fd);
        } else {
            a.error = file + ": " + std::strerror(errno);
        }
        ::close(fd);
        return a;
    }
    const std::string record = HolderRecord(me);
    if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, record.data(), record.size(), 0) < 0) {
        // A file another user made read-only to us: held all the same, unnamed.
    }
    a.fd = fd;
    return a;
}

void UnlockFile(int fd)
{
    if (fd < 0)
        return;
    // The record goes with the hold: a later holder that writes none is not
    // taken for this one.
    if (::ftruncate(fd, 0) != 0) {
    }
    // Unlocked before it is closed: a child forked a moment ago shares the
    // descriptor until its exec closes it, and must not hold the bridge on.
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

std::optional<LockHolder> LockFileHolder(const std::string &file)
{
    std::string error;
    const int fd = OpenLockFile(file, false, error);
    if (fd < 0)
        return std::nullopt; // never taken, or not ours to judge
    std::optional<LockHolder> holder;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        holder = ReadHolder(fd);
    ::close(fd);
    return holder;
}

} // namespace brigant
