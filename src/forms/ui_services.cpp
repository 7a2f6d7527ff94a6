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

} // namespace brigant
