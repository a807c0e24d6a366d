// The line format shared by the stand-in's text files: the seed file, the
// fault plan and the journal.
//
// Each record is one line of tab-separated fields. Logins, ids and hashes are
// byte strings that may hold any byte, so a field escapes the bytes that
// would break the line: "\t" tab, "\n" line feed, "\r" carriage return,
// "\\" backslash and "\xHH" (two hexadecimal digits, either case) for any
// byte. Every other byte stands for itself, including bytes from 128 to 255.
//
// escape_field writes "\t", "\n", "\r", "\\" for those four bytes and "\xHH"
// (uppercase) for the other control bytes (below 32, and 127), so that a
// journal line stays one readable line; unescape_field reads everything
// escape_field writes and everything a person may write by hand.
#ifndef IDFERRY_TOOLS_STANDIN_STANDIN_TEXT_H_
#define IDFERRY_TOOLS_STANDIN_STANDIN_TEXT_H_

#include <string>
#include <vector>

namespace standin {

// The line split at every tab; an empty line gives one empty field.
std::vector<std::string> split_tabs(const std::string& line);

// The bytes `text` stands for. Returns false, with `error` naming the fault
// ("bad escape \q", "\x needs two hex digits"), for a backslash that starts
// no escape; `out` then holds no useful value.
bool unescape_field(const std::string& text, std::string* out, std::string* error);

// `bytes` as field text (see above).
std::string escape_field(const std::string& bytes);

}  // namespace standin

#endif  // IDFERRY_TOOLS_STANDIN_STANDIN_TEXT_H_
