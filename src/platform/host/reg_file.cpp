// Registry export (.reg) files: the text regedit writes, loaded into the
// handheld's HKEY_LOCAL_MACHINE.
//
// The whole file is decoded and parsed into a list of changes before any of
// them is applied, so a file with a fault anywhere leaves the registry as it
// was. Every fault is reported as "FILE:LINE: what is wrong".
#include "reg_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal.h"

namespace host {
namespace {

const char16_t V5_HEADER[] = u"Windows Registry Editor Version 5.00";
const char16_t V4_HEADER[] = u"REGEDIT4";

// Files larger than this are no registry export a test would load.
const size_t MAX_FILE_BYTES = 64u << 20;

struct Line {
  std::u16string text;
  int number;
};

class Parser {
 public:
  Parser(const std::string& fileName, std::vector<RegChange>* changes)
      : fileName_(fileName), changes_(changes) {}

  bool Parse(const std::string& bytes, std::string* error);

 private:
  bool Fail(int line, const std::string& what) {
    error_ = fileName_ + ":" + std::to_string(line) + ": " + what;
    return false;
  }

  bool Decode(const std::string& bytes, std::u16string* text);
  bool DecodeUtf8(const std::string& bytes, size_t start, std::u16string* text);
  bool ReadHeader(size_t* next);
  bool ParseSection(const Line& line);
  bool ParseValue(size_t* index);
  bool ParseQuoted(const Line& line, size_t* pos, std::u16string* out);
  bool ParseDword(const Line& line, const std::u16string& digits, std::vector<BYTE>* data);
  bool ParseHex(size_t* index, size_t pos, DWORD* type, std::vector<BYTE>* data);

  std::string fileName_;
  std::vector<RegChange>* changes_;
  std::vector<Line> lines_;
  std::string error_;
  bool regedit4_ = false;
  bool inSection_ = false;
  bool sectionDeleted_ = false;
  std::vector<std::u16string> path_;
};

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string Trim(const std::u16string& text) {
  size_t start = 0;
  size_t end = text.size();
  while (start < end && IsSpace(text[start])) ++start;
  while (end > start && IsSpace(text[end - 1])) --end;
  return text.substr(start, end - start);
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool StartsWithNoCase(const std::u16string& text, size_t pos, const char* prefix) {
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (pos + i >= text.size()) return false;
    char16_t c = text[pos + i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != static_cast<char16_t>(prefix[i])) return false;
  }
  return true;
}

// Text from the file quoted in a message: cut short if long, and with
// control characters shown as '?' so the message stays one printable line.
std::string Shown(const std::u16string& text) {
  const size_t limit = 60;
  std::u16string shown = text.substr(0, limit);
  for (char16_t& c : shown) {
    if (c < 0x20 || c == 0x7F) c = u'?';
  }
  return device::ToUtf8(shown) + (text.size() > limit ? "..." : "");
}

void AppendWide(std::vector<BYTE>* bytes, const std::u16string& text) {
  for (char16_t unit : text) {
    bytes->push_back(static_cast<BYTE>(unit & 0xff));
    bytes->push_back(static_cast<BYTE>(unit >> 8));
  }
}

int LineOfOffset(const std::string& bytes, size_t offset) {
  int line = 1;
  for (size_t i = 0; i < offset && i < bytes.size(); ++i) {
    if (bytes[i] == '\n') ++line;
  }
  return line;
}

bool Parser::DecodeUtf8(const std::string& bytes, size_t start, std::u16string* text) {
  size_t i = start;
  while (i < bytes.size()) {
    unsigned char lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      text->push_back(lead);
      ++i;
      continue;
    }
    size_t extra = 0;
    char32_t code = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, code = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, code = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, code = lead & 0x07, least = 0x10000;
    } else {
      return Fail(LineOfOffset(bytes, i), "invalid UTF-8 byte " + Hex(lead, 2));
    }
    if (bytes.size() - i - 1 < extra)
      return Fail(LineOfOffset(bytes, i), "UTF-8 sequence cut short at end of file");
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) {
        return Fail(LineOfOffset(bytes, i), "invalid UTF-8 sequence at byte " + Hex(lead, 2));
      }
      code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return Fail(LineOfOffset(bytes, i), "invalid UTF-8 sequence at byte " + Hex(lead, 2));
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      text->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      text->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      text->push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return true;
}

bool Parser::Decode(const std::string& bytes, std::u16string* text) {
  auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) {
    size_t units = (bytes.size() - 2) / 2;
    for (size_t i = 0; i < units; ++i) {
      text->push_back(static_cast<char16_t>(at(2 + 2 * i) | (at(3 + 2 * i) << 8)));
    }
    if ((bytes.size() - 2) % 2 != 0) {
      int line = 1;
      for (char16_t c : *text) line += c == u'\n';
      return Fail(line, "UTF-16 text ends in half a character (odd number of bytes)");
    }
    return true;
  }
  if (bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF) {
    return Fail(1, "big-endian UTF-16 is not supported: save the file as UTF-16LE or UTF-8");
  }
  size_t start = 0;
  if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) start = 3;
  return DecodeUtf8(bytes, start, text);
}

bool Parser::ReadHeader(size_t* next) {
  for (size_t i = 0; i < lines_.size(); ++i) {
    std::u16string text = Trim(lines_[i].text);
    if (text.empty()) continue;
    if (text == V5_HEADER) {
      regedit4_ = false;
    } else if (text == V4_HEADER) {
      regedit4_ = true;
    } else {
      return Fail(lines_[i].number,
                  "not a registry export: the first line must be "
                  "\"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    }
    *next = i + 1;
    return true;
  }
  return Fail(lines_.empty() ? 1 : lines_.back().number, "empty file: no registry export header");
}

bool Parser::ParseSection(const Line& line) {
  std::u16string text = Trim(line.text);
  if (text.size() < 2 || text.back() != u']')
    return Fail(line.number, "missing ']' at the end of the key line");
  std::u16string inner = text.substr(1, text.size() - 2);
  bool remove = !inner.empty() && inner.front() == u'-';
  if (remove) inner.erase(0, 1);
  if (inner.empty()) return Fail(line.number, "empty key name");

  std::vector<std::u16string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = inner.find(u'\\', start);
    if (end == std::u16string::npos) end = inner.size();
    if (end == start) return Fail(line.number, "empty key name in \"" + Shown(inner) + "\"");
    parts.push_back(inner.substr(start, end - start));
    if (end == inner.size()) break;
    start = end + 1;
  }
  std::u16string hive = WideLower(parts.front());
  if (hive != u"hkey_local_machine" && hive != u"hklm") {
    return Fail(line.number,
                "only HKEY_LOCAL_MACHINE can be loaded, the handheld holds no other hive: found \"" +
                    Shown(parts.front()) + "\"");
  }
  parts.erase(parts.begin());
  if (remove && parts.empty()) return Fail(line.number, "HKEY_LOCAL_MACHINE itself cannot be deleted");

  inSection_ = true;
  sectionDeleted_ = remove;
  path_ = parts;
  if (remove) {
    changes_->push_back({RegChange::DeleteKey, parts, u"", REG_NONE, {}});
  } else if (!parts.empty()) {
    changes_->push_back({RegChange::CreateKey, parts, u"", REG_NONE, {}});
  }
  return true;
}

// A string in double quotes starting at *pos, with \\ and \" as its only
// escapes; *pos ends just past the closing quote.
bool Parser::ParseQuoted(const Line& line, size_t* pos, std::u16string* out) {
  const std::u16string& text = line.text;
  size_t i = *pos + 1;
  out->clear();
  while (i < text.size()) {
    char16_t c = text[i];
    if (c == u'"') {
      *pos = i + 1;
      return true;
    }
    if (c == u'\\') {
      if (i + 1 >= text.size()) break;
      char16_t escaped = text[i + 1];
      if (escaped != u'\\' && escaped != u'"') {
        return Fail(line.number, "bad escape \"\\" + Shown(std::u16string(1, escaped)) +
                                     "\" in a string (only \\\\ and \\\" are allowed)");
      }
      out->push_back(escaped);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  return Fail(line.number, "unterminated string");
}

bool Parser::ParseDword(const Line& line, const std::u16string& digits, std::vector<BYTE>* data) {
  if (digits.empty()) return Fail(line.number, "dword value without hex digits");
  DWORD value = 0;
  for (char16_t c : digits) {
    int digit = HexDigit(c);
    if (digit < 0) return Fail(line.number, "bad dword value \"" + Shown(digits) + "\": expected hex digits");
  }
  if (digits.size() > 8)
    return Fail(line.number, "dword out of range: \"" + Shown(digits) + "\" has more than 8 hex digits");
  for (char16_t c : digits) value = (value << 4) | static_cast<DWORD>(HexDigit(c));
  *data = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
           static_cast<BYTE>(value >> 24)};
  return true;
}

// "hex:" or "hex(N):" at pos of the line at *index, then a list of bytes
// that may go on over following lines, each ending in a backslash.
// *index ends at the last line of the list.
bool Parser::ParseHex(size_t* index, size_t pos, DWORD* type, std::vector<BYTE>* data) {
  const Line& first = lines_[*index];
  const std::u16string& text = first.text;
  pos += 3;  // "hex"
  *type = REG_BINARY;
  if (pos < text.size() && text[pos] == u'(') {
    size_t close = text.find(u')', pos);
    if (close == std::u16string::npos) return Fail(first.number, "missing ')' after the value type");
    std::u16string digits = text.substr(pos + 1, close - pos - 1);
    if (digits.empty()) return Fail(first.number, "missing value type in \"hex()\"");
    DWORD number = 0;
    for (char16_t c : digits) {
      if (HexDigit(c) < 0)
        return Fail(first.number, "bad value type \"" + Shown(digits) + "\": expected hex digits");
    }
    if (digits.size() > 8) return Fail(first.number, "value type \"" + Shown(digits) + "\" out of range");
    for (char16_t c : digits) number = (number << 4) | static_cast<DWORD>(HexDigit(c));
    *type = number;
    pos = close + 1;
  }
  if (pos >= text.size() || text[pos] != u':') return Fail(first.number, "expected ':' after \"hex\"");
  ++pos;

  // Items are separated by commas; a line break (after a backslash) is
  // only a separator of space, so a byte never spans two lines.
  bool expectItem = false;  // after a comma, a byte must follow
  bool any = false;
  for (;;) {
    const Line& line = lines_[*index];
    std::u16string segment = Trim(line.text.substr(pos));
    bool continued = !segment.empty() && segment.back() == u'\\';
    if (continued) segment = Trim(segment.substr(0, segment.size() - 1));

    size_t i = 0;
    while (i < segment.size()) {
      if (IsSpace(segment[i])) {
        ++i;
        continue;
      }
      if (segment[i] == u',') {
        if (expectItem || !any) return Fail(line.number, "bad hex byte: missing byte before ','");
        expectItem = true;
        ++i;
        continue;
      }
      size_t start = i;
      while (i < segment.size() && segment[i] != u',' && !IsSpace(segment[i])) ++i;
      std::u16string item = segment.substr(start, i - start);
      if (any && !expectItem)
        return Fail(line.number, "bad hex byte list: missing ',' before \"" + Shown(item) + "\"");
      if (item.size() > 2 || HexDigit(item[0]) < 0 || (item.size() == 2 && HexDigit(item[1]) < 0)) {
        return Fail(line.number, "bad hex byte \"" + Shown(item) + "\"");
      }
      int value = HexDigit(item[0]);
      if (item.size() == 2) value = value * 16 + HexDigit(item[1]);
      data->push_back(static_cast<BYTE>(value));
      any = true;
      expectItem = false;
    }
    if (!continued) break;
    if (*index + 1 >= lines_.size()) return Fail(line.number, "continuation '\\' at end of file");
    ++*index;
    pos = 0;  // the next line's leading spaces are skipped by the trim
  }
  if (expectItem) return Fail(lines_[*index].number, "bad hex byte list: ends with ','");

  // A REGEDIT4 file holds strings as 8-bit characters; the registry holds
  // them as UTF-16.
  if (regedit4_ && (*type == REG_EXPAND_SZ || *type == REG_MULTI_SZ)) {
    std::vector<BYTE> wide;
    for (BYTE b : *data) {
      wide.push_back(b);
      wide.push_back(0);
    }
    data->swap(wide);
  }
  return true;
}

bool Parser::ParseValue(size_t* index) {
  const Line& line = lines_[*index];
  const std::u16string& text = line.text;
  size_t pos = 0;
  while (pos < text.size() && IsSpace(text[pos])) ++pos;

  std::u16string name;
  if (text[pos] == u'@') {
    ++pos;
  } else if (!ParseQuoted(line, &pos, &name)) {
    return false;
  }
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  if (pos >= text.size() || text[pos] != u'=') return Fail(line.number, "expected '=' after the value name");
  ++pos;
  while (pos < text.size() && IsSpace(text[pos])) ++pos;

  if (!inSection_) return Fail(line.number, "value before any [HKEY_LOCAL_MACHINE\\...] key line");
  if (sectionDeleted_) return Fail(line.number, "value under a key line that deletes its key ([-...])");

  RegChange change{RegChange::SetValue, path_, name, REG_NONE, {}};
  std::u16string rest = Trim(text.substr(pos));
  if (rest == u"-") {
    change.kind = RegChange::DeleteValue;
  } else if (!rest.empty() && rest.front() == u'"') {
    std::u16string value;
    if (!ParseQuoted(line, &pos, &value)) return false;
    if (!Trim(text.substr(pos)).empty()) return Fail(line.number, "unexpected text after the string value");
    change.type = REG_SZ;
    AppendWide(&change.data, value);
    AppendWide(&change.data, std::u16string(1, u'\0'));
  } else if (StartsWithNoCase(rest, 0, "dword:")) {
    change.type = REG_DWORD;
    if (!ParseDword(line, rest.substr(6), &change.data)) return false;
  } else if (StartsWithNoCase(rest, 0, "hex")) {
    if (!ParseHex(index, pos, &change.type, &change.data)) return false;
  } else {
    return Fail(line.number, "unknown value syntax \"" + Shown(rest) +
                                 "\": expected \"string\", dword:, hex:, hex(N): or -");
  }
  changes_->push_back(std::move(change));
  return true;
}

bool Parser::Parse(const std::string& bytes, std::string* error) {
  std::u16string text;
  bool ok = Decode(bytes, &text);
  if (ok) {
    int number = 1;
    size_t start = 0;
    for (;;) {
      size_t end = text.find(u'\n', start);
      // The newline that ends the last line starts no line of its own.
      if (end == std::u16string::npos && start == text.size() && start != 0) break;
      size_t stop = end == std::u16string::npos ? text.size() : end;
      size_t length = stop - start;
      if (length > 0 && text[stop - 1] == u'\r') --length;
      lines_.push_back({text.substr(start, length), number++});
      if (end == std::u16string::npos) break;
      start = end + 1;
    }
    size_t index = 0;
    ok = ReadHeader(&index);
    for (; ok && index < lines_.size(); ++index) {
      std::u16string trimmed = Trim(lines_[index].text);
      if (trimmed.empty() || trimmed.front() == u';') continue;
      if (trimmed.front() == u'[') {
        ok = ParseSection(lines_[index]);
      } else if (trimmed.front() == u'"' || trimmed.front() == u'@') {
        ok = ParseValue(&index);
      } else {
        ok = Fail(lines_[index].number, "unknown line \"" + Shown(trimmed) +
                                            "\": expected [key], \"name\"=value, @=value or a ; comment");
      }
    }
  }
  if (!ok) {
    changes_->clear();
    if (error != nullptr) *error = error_;
  }
  return ok;
}

}  // namespace

bool ParseRegFile(const std::string& bytes, const std::string& fileName, std::vector<RegChange>* changes,
                  std::string* error) {
  changes->clear();
  Parser parser(fileName, changes);
  return parser.Parse(bytes, error);
}

}  // namespace host

namespace device {

bool RegistryLoadText(const std::string& bytes, const std::string& fileName, std::string* error) {
  std::vector<host::RegChange> changes;
  if (!host::ParseRegFile(bytes, fileName, &changes, error)) return false;
  host::ApplyRegChanges(changes);
  return true;
}

bool RegistryLoadFile(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error != nullptr) *error = path + ": " + what;
    return false;
  };
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(std::string("cannot read: ") + std::strerror(errno));
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int saved = errno;
      close(fd);
      return fail(std::string("cannot read: ") + std::strerror(saved));
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
    if (bytes.size() > host::MAX_FILE_BYTES) {
      close(fd);
      return fail("cannot read: larger than " + std::to_string(host::MAX_FILE_BYTES >> 20) + " MiB");
    }
  }
  close(fd);
  return RegistryLoadText(bytes, path, error);
}

}  // namespace device
