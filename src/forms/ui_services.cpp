#include "forms/ui_services.h"

namespace brigant
{

namespace
{
SilentUiServices silent;
UiServices *current = &silent;
} // namespace

UiServices &Ui() { return *current; }
void SetUiServices(UiServices *services) { current = services ? services : &silent; }

void ShowStatus(forms::LabeledEdit &status, const std::string &text)
{
    status.setText(text);
    Ui().processMessages();
}

void AppendProgressDot(forms::LabeledEdit &status, const std::string &phase, std::uint64_t done,
                       std::uint64_t total)
{
    // The step is reported before the dot appears, so that a display that
    // follows the status line knows the next change is this step's dot.
    Ui().reportProgress({phase, done, total});
    status.setText(status.text() + ".");
    Ui().processMessages();
}

} // namespace brigant
