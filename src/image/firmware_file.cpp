#include "image/firmware_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brigant
{

namespace
{
void SetError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}
} // namespace

FilePtr OpenFirmwareFile(const char *path, std::string *error)
{
    if (!path || !*path) {
        SetError(error, "no file name");
        return nullptr;
    }
    // O_NONBLOCK keeps a FIFO without a writer from blocking the open.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetError(error, std::strerror(errno));
        return nullptr;
    }
    struct stat st {
    };
    if (::fstat(fd, &st) != 0) {
        SetError(error, std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        SetError(error, S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file");
        ::close(fd);
        return nullptr;
    }
    // Reads of a regular file never block; clear the flag all the same.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE *file = ::fdopen(fd, "rb");
    if (!file) {
        SetError(error, std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    return FilePtr(file);
}

std::string FirmwareFileProblem(const char *path)
{
    std::string error;
    const FilePtr file = OpenFirmwareFile(path, &error);
    if (!file)
        return error;
    struct stat st {
    };
    if (::fstat(::fileno(file.get()), &st) != 0)
        return std::strerror(errno);
    return st.st_size == 0 ? "the file is empty" : "";
}

int ReadFirmwareFileHead(const char *path, std::size_t maxBytes, std::vector<std::uint8_t> &bytes,
                         std::uint64_t *length, std::string *error)
{
    bytes.clear();
    FilePtr file = OpenFirmwareFile(path, error);
    if (!file)
        return 0;
    struct stat st {
    };
    if (::fstat(::fileno(file.get()), &st) != 0) {
        SetError(error, std::strerror(errno));
        return 0;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, maxBytes)));
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file.get());
    if (got != bytes.size() && std::ferror(file.get())) {
        SetError(error, std::strerror(errno));
        bytes.clear();
        return 0;
    }
    // A file that shrank meanwhile: keep what was read.
    bytes.resize(got);
    if (length)
        *length = size;
    return 1;
}

} // namespace brigant
