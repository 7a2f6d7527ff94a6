// Preloaded into brigant-fw by tests/cli/backup_readback.sh: every fread()
// from a file under a "brigant/backups" folder returns its first byte
// flipped, as a disk that does not give back what was written would. The
// program's own check of the backup it just wrote must catch it.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace
{

using Fread = std::size_t (*)(void *, std::size_t, std::size_t, std::FILE *);

bool InBackups(std::FILE *stream)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", ::fileno(stream));
    char path[4096];
    const ssize_t length = ::readlink(link, path, sizeof path - 1);
    if (length <= 0)
        return false;
    path[length] = '\0';
    return std::strstr(path, "/brigant/backups/") != nullptr;
}

} // namespace

extern "C" std::size_t fread(void *buffer, std::size_t size, std::size_t count, std::FILE *stream)
{
    static Fread next = [] {
        Fread found = nullptr;
        void *symbol = ::dlsym(RTLD_NEXT, "fread");
        std::memcpy(&found, &symbol, sizeof found);
        return found;
    }();
    const std::size_t got = next(buffer, size, count, stream);
    if (got > 0 && size > 0 && InBackups(stream))
        static_cast<unsigned char *>(buffer)[0] ^= 0xFF;
    return got;
}
