#pragma once
// One scratch file per fuzz process, rewritten with each input, so that the
// file-reading wrappers see exactly the bytes the in-memory checks saw.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace brigant::fuzz
{

class ScratchFile
{
  public:
    ScratchFile()
    {
        // Memory-backed when possible: freeing disk blocks on every input is slow.
        const char *tmp = std::getenv("TMPDIR");
        const std::string dir = tmp && *tmp ? tmp : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path_ = dir + "/brigant-fuzz-XXXXXX";
        fd_ = ::mkstemp(path_.data());
        if (fd_ < 0)
            std::abort();
    }
    ~ScratchFile()
    {
        ::close(fd_);
        ::unlink(path_.c_str());
    }

    const char *write(const std::uint8_t *data, std::size_t size)
    {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0)
                std::abort();
            done += static_cast<std::size_t>(n);
        }
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
            std::abort();
        return path_.c_str();
    }

  private:
    std::string path_;
    int fd_ = -1;
};

} // namespace brigant::fuzz
