#pragma once
// A new file's name taken for good: several processes choosing names in one
// folder at once (the workers of update --all) never pick the same one.
#include <string>

namespace brigant
{

// Creates `path` empty, private to the user, unless it exists: true when this
// call made it; otherwise errno says why (EEXIST: the name is taken).
bool ClaimNewFile(const std::string &path);

} // namespace brigant
