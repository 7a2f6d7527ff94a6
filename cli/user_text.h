#pragma once
// The command line's own words for what the window shows: bus names, product
// names, the one-button face's verdict, and JSON documents.
#include "app/device_list.h"
#include "app/fwupdate_handlers.h"
#include "app/next_step.h"
#include "device/device_entry.h"
#include "model/fwupdate.h"

#include <nlohmann/json.hpp>

#include <string>

namespace brigant::cli
{

// A firmware version in the one form the command line names versions in:
// dot-separated fields, numbers without leading zeros, so that the window's
// "01.01.01.00" and "1.1.1.0" of the same image read alike ("1.1.1.0").
// Fields that are not numbers stay as they are; empty stays empty.
std::string UserVersion(const std::string &text);
// The built-in update image's version in that form (empty: none built in).
std::string BuiltInImageVersion();

// What the one-button face decided for the selected device, from its state
// and whether it offers the update.
struct OneButtonVerdict {
    const char *key;  // "offered", "current", "other identity", "runs from ROM", "not supported",
                      // "no device", "unknown"
    std::string text; // a sentence for the user
};
OneButtonVerdict DescribeOneButton(OneButtonState state, bool offered, int index = 0);

// The next step for the listed bridge at `path`, from how it runs (as
// identification found it) and the journal's open entry for it.
NextStep NextStepOf(const std::string &path, bool runsFromRom, int damagedBank, std::uint8_t chipCode);
// The open journal entry of the bridge at `path` as a JSON object (null when
// none is open); its `finishWith` is the command of `step`.
nlohmann::json UnfinishedJson(const std::string &path, const NextStep &step);
// The step as a JSON object: {"kind", "command", "warning"}; null for none.
nlohmann::json NextStepJson(const NextStep &step);

// The document as UTF-8 text with a final line feed; bytes that are not UTF-8
// (device names are raw bytes) become U+FFFD.
std::string JsonText(const nlohmann::json &document);

} // namespace brigant::cli
