// Fuzzes the settings reader with arbitrary file contents.
#include "app/settings.h"
#include "fuzz_require.h"

#include "fuzz_temp_file.h"

#include <cstdlib>
#include <cstring>
#include <string>

using namespace brigant;
using brigant::fuzz::Require;

namespace
{

bool SameState(const INI_STATE &a, const INI_STATE &b)
{
    return a.PmModel == b.PmModel && a.PsModel == b.PsModel && a.CheckPmPsFwFile == b.CheckPmPsFwFile &&
           a.PmPsFwVer == b.PmPsFwVer && a.PmPsDate == b.PmPsDate &&
           a.ShowPassFailWindow == b.ShowPassFailWindow && a.MainFormCaption == b.MainFormCaption &&
           a.VID == b.VID && a.PID == b.PID && a.SerialNum == b.SerialNum && a.ChipReset == b.ChipReset;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > kMaxSettingsFileSize)
        return 0;
    INI_STATE state;
    ReadSettingsFromBytes(state, {data, size});
    Require(state.PmModel.size() < kSettingTokenSize && state.PsModel.size() < kSettingTokenSize);
    Require(state.MainFormCaption.size() < kSettingLineSize);
    for (const auto &text : state.PmPsFwVer)
        Require(text.size() < kSettingTokenSize);
    Require(state.SerialText().size() <= kSerialNumSize);

    // The lookups on their own, with a key and a size taken from the input.
    std::string text(reinterpret_cast<const char *>(data), size);
    const std::size_t cut = std::min<std::size_t>(size, 12);
    const std::string key = text.substr(0, cut);
    char value[kSettingLineSize];
    std::memset(value, 0x7F, sizeof value);
    const std::size_t maxSize = size ? 1 + data[0] % kSettingLineSize : 1;
    GetSettingToken(text.c_str(), key.c_str(), "default-value-longer-than-the-room", value, maxSize);
    Require(std::strlen(value) < maxSize);
    GetSettingLine(text.c_str(), key.c_str(), "", value, maxSize);
    Require(std::strlen(value) < maxSize);

    // The file reader must see the same thing.
    static fuzz::ScratchFile scratch;
    INI_STATE fromFile;
    ReadSettings(fromFile, scratch.write(data, size));
    Require(SameState(state, fromFile));
    return 0;
}
