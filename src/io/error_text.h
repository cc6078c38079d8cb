// How a name goes into a message.
#pragma once

#include <string>
#include <string_view>

namespace lumtab {

// `text` with the characters that would break a message's one line or repaint a
// terminal (line feeds, escapes, other control characters) written as \n, \033, ….
std::string printable(std::string_view text);

}  // namespace lumtab
