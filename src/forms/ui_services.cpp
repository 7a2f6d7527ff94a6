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
    status.setText(status.text() + ".");
    Ui().progress({phase, done, total});
    Ui().processMessages();
}

} // namespace brigant
