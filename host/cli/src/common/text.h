// text.h - text as sehost writes it. Names and texts come from plug-ins and
// users and may hold any bytes: every file sehost writes holds UTF-8 (bytes
// that are not are replaced by U+FFFD, as the JSON writer replaces them),
// and what it prints holds no control bytes (shown as \xNN), so that a
// plug-in's name cannot move the cursor, clear the screen or split an error
// over two lines.
#ifndef SEHOST_CLI_TEXT_H
#define SEHOST_CLI_TEXT_H

#include <string>
#include <string_view>

namespace secli {

// Each maximal piece of a byte sequence that no UTF-8 character starts with
// and completes becomes one U+FFFD (the replacement Unicode recommends):
// "Gr\xFC\xDF" gives "Gr\uFFFD\uFFFD".
std::string valid_utf8(std::string_view text);

// valid_utf8, then every control character (U+0000 to U+001F, U+007F to
// U+009F) written as \xNN, but newlines where `keep_newlines`.
std::string terminal_text(std::string_view text, bool keep_newlines = false);

// An error as one line on the terminal: terminal_text, cut after about
// kMaxLineBytes (a 10 MB name given by mistake is not printed whole).
constexpr size_t kMaxLineBytes = 4096;
std::string terminal_line(std::string_view text);

} // namespace secli

#endif
