#pragma once
// The window's words for what a procedure reports: each status code and
// notice as the window has always worded it (app/window_texts.h holds the
// texts it shows besides these).
#include "flash/run_host.h"

#include <string>

namespace brigant
{

// The status line's text for `code`; for a code that carries a sentence, the
// text around it (empty when the sentence is the whole line).
const char *StatusText(StatusCode code);
// The whole status line the window shows for `status`.
std::string StatusLine(const RunStatus &status);
// The text of the notice box about `what`.
const char *NoticeText(Notice what);

} // namespace brigant
