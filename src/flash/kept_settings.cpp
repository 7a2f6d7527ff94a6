#include "flash/kept_settings.h"

#include <cstring>
#include <vector>

namespace brigant
{

bool ReadKeptSettings(RunHost &host, const SettingsRead &read, std::uint8_t *dest, std::uint32_t length)
{
    // An earlier update of this bridge that was cut saved the settings as
    // they were; the flash may hold them erased by now.
    if (const std::vector<std::uint8_t> saved = host.journalSettings(); saved.size() == length) {
        std::memcpy(dest, saved.data(), length);
        host.keptSettingsRead(saved);
        return true;
    }
    std::vector<std::uint8_t> again(length, 0);
    const char *why = nullptr;
    if (!read(dest, length) || !read(again.data(), length))
        why = "the device's settings (NVRAM) could not be read; nothing was erased";
    else if (std::memcmp(dest, again.data(), length) != 0)
        why = "two reads of the device's settings (NVRAM) differ; nothing was erased";
    if (!why) {
        host.keptSettingsRead(again);
        return true;
    }
    host.showStatus(StatusCode::NvramBackupFail);
    host.failing(why);
    return false;
}

bool CheckKeptSettings(RunHost &host, const SettingsRead &read, const std::uint8_t *kept,
                       std::uint32_t length)
{
    std::vector<std::uint8_t> now(length, 0);
    const char *why = nullptr;
    if (!read(now.data(), length))
        why = "the device's settings (NVRAM) could not be read back after programming";
    else if (std::memcmp(now.data(), kept, length) != 0)
        why = "the device's settings (NVRAM) in the flash are not the ones kept";
    if (!why)
        return true;
    host.showStatus(StatusCode::NvramWriteBackFail);
    host.failing(why);
    return false;
}

} // namespace brigant
