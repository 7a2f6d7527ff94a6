#include "app/pass_fail_wnd.h"

namespace brigant
{

namespace
{
constexpr int kBigLetters = 96; // pixels high
} // namespace

TPassFailForm::TPassFailForm()
    : passLabel("passLabel", "PASS", {24, 24, 268, 120}, false),
      failLabel("failLabel", "FAIL", {24, 24, 268, 120}, false)
{
    for (forms::Label *label : {&passLabel, &failLabel}) {
        label->fontName = "Arial";
        label->fontSize = kBigLetters;
    }
    passLabel.setFontColour(forms::kGreen);
    failLabel.setFontColour(forms::kRed);
}

void TPassFailForm::FormShow()
{
    visible = true;
    foreground = true;
    passLabel.setVisible(passFlag != 0);
    failLabel.setVisible(passFlag == 0);
}

bool TPassFailForm::FormCanResize(int, int) const { return false; }

} // namespace brigant
