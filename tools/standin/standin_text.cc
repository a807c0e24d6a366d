// Field text of the stand-in's files; see standin_text.h.

#include "tools/standin/standin_text.h"

namespace standin {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string::size_type from = 0;
  for (;;) {
    std::string::size_type tab = line.find('\t', from);
    if (tab == std::string::npos) {
      fields.push_back(line.substr(from));
      return fields;
    }
    fields.push_back(line.substr(from, tab - from));
    from = tab + 1;
  }
}

bool unescape_field(const std::string& text, std::string* out, std::string* error) {
  out->clear();
  out->reserve(text.size());
  for (std::string::size_type i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (i + 1 >= text.size()) {
      *error = "a backslash ends the field";
      return false;
    }
    char e = text[++i];
    switch (e) {
      case 't': out->push_back('\t'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case '\\': out->push_back('\\'); break;
      case 'x': {
        int hi = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        int lo = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
          *error = "\\x needs two hex digits";
          return false;
        }
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default:
        *error = std::string("bad escape \\") + e;
        return false;
    }
  }
  return true;
}

std::string escape_field(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (u < 32 || u == 127) {
          out += "\\x";
          out.push_back(kHex[u >> 4]);
          out.push_back(kHex[u & 15]);
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

}  // namespace standin
