#pragma once
// TPassFailForm: a small window that shows "PASS" or "FAIL" in large letters.
// The program creates it hidden at start-up; its caller sets the pass flag and
// shows it modally.
#include "forms/controls.h"

#include <cstdint>
#include <string>

namespace brigant
{

class TPassFailForm
{
  public:
    // Constructed hidden, "Result", 316 x 180, with only the system menu.
    TPassFailForm();
    TPassFailForm(const TPassFailForm &) = delete;
    TPassFailForm &operator=(const TPassFailForm &) = delete;

    forms::Label passLabel;
    forms::Label failLabel;

    std::string caption = "Result";
    int width = 316;
    int height = 180;
    bool visible = false;
    bool foreground = false;
    bool borderMinimize = false, borderMaximize = false, borderHelp = false;
    std::uint8_t passFlag = 0;

    // Shows the window in front, with the label that the pass flag names.
    void FormShow();
    // Every resize is refused.
    bool FormCanResize(int newWidth, int newHeight) const;
};

} // namespace brigant
