#pragma once
// The texts the window shows (status lines, message boxes, the one-button
// face), worded as the program has always worded them, odd spacing and
// spelling included: users and stored habits know them by these words. Every
// other front end speaks its own words from the typed outcomes and names these
// only to show them as the window would.
namespace brigant
{

// Backup files.
inline constexpr const char *kDefaultBackupText = "Default backup firmware as OldFalsh.bak!";

// The end of a run.
inline constexpr const char *kProgrammingSuccessText = "Programming Success!!";
inline constexpr const char *kAutoResetText = "Chip Auto reset, Please wait device re-attached!";
inline constexpr const char *kPowerCycleText = "Please Turn-Off the Power and Turn-On Again!";
inline constexpr const char *kPowerCycleSpacedText = "Please Turn-Off the Power and Turn-On Again !";

// Identification.
inline constexpr const char *kNotSupportedText = "The chip not support Firmware Update!";
inline constexpr const char *kNotVelkorText = "Not Velkor Chip!!";
inline constexpr const char *kInternalCodeText = "Internal code";
inline constexpr const char *kChipInfoFailText = "Get chip information fail !";

// Loading and checking a firmware file.
inline constexpr const char *kFileMismatchText = "The firmware file seems not match this chip!";
inline constexpr const char *kOpenFwFileErrorText = "Open FW File Error!!";
inline constexpr const char *kOpenFirmwareFileErrorText = "Open Firmware File Error!!";
inline constexpr const char *kFwFileNotMatchText = "FW file not Match.";
inline constexpr const char *kFileTooLargeText = "The firmware file size is bigger than the flash size!";
inline constexpr const char *kFileRefusedText = "FW file refused: ";

// The one-button face.
inline constexpr const char *kNoDeviceText = "No device found!!";
inline constexpr const char *kChipNotSupportText = "Chip not support!!";
inline constexpr const char *kIdMismatchText = "Firmware ID not match!!";
inline constexpr const char *kRunsFromRomText = "Runs from ROM: the button brings the firmware back";
inline constexpr const char *kAlreadyUpdatedText = "Firmware already updated.";
inline constexpr const char *kOfferText = "Click Update firmware button to proceed.";
inline constexpr const char *kUpdatingText = "Updating firmware. Please wait...";
inline constexpr const char *kPassText = "Update    Pass!!";
inline constexpr const char *kFailText = "Update    Fail!!";
// The one-button face's hint beside "Chip not support!!" and "Firmware ID not
// match!!": the way to update such a bridge (the tool's own words).
inline constexpr const char *kFaceHintText =
    "Full tool: brigant-fwtool --advanced, or brigant-fw update FILE";

} // namespace brigant
