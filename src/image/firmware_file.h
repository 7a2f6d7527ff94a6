#pragma once
// Opening and reading firmware files. Firmware files must be regular files:
// a directory, a pipe or a device node is refused with a reason instead of
// blocking or reading forever. Every file is closed before these return.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace brigant
{

// No flash that identification can report is larger (16 MiB): a file beyond
// it is no firmware of these bridges, refused before it is read or held.
inline constexpr std::uint64_t kLargestFirmwareFile = 16u << 20;

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a regular file for binary reading; on failure returns null and puts
// the reason (such as "No such file or directory") into `error` when given.
FilePtr OpenFirmwareFile(const char *path, std::string *error = nullptr);

// Why the file cannot be a firmware file at all, before anything is read:
// the reason it cannot be opened as a regular file ("No such file or
// directory", "Is a directory", "Permission denied", ...) or "the file is
// empty"; empty when it can be read and holds bytes.
std::string FirmwareFileProblem(const char *path);

// Reads at most `maxBytes` from the start of the file into `bytes` (the
// vector is resized to what was read) and the file's full length into
// `length`. Returns 1, or 0 with the reason in `error`.
int ReadFirmwareFileHead(const char *path, std::size_t maxBytes, std::vector<std::uint8_t> &bytes,
                         std::uint64_t *length = nullptr, std::string *error = nullptr);

} // namespace brigant
