#include "runtime/string_list.h"

#include <utility>

#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace isapi_web {

namespace {

constexpr char16_t NameValueSeparator = u'=';

} // namespace

void TStrings::CheckIndex(int index, bool allowEnd) const {
  const int last = allowEnd ? Count() : Count() - 1;
  if (index < 0 || index > last) {
    throw EListError(Format(u"List index out of bounds (%d)", {index}));
  }
}

const std::u16string& TStrings::Strings(int index) const {
  CheckIndex(index);
  return FItems[static_cast<std::size_t>(index)];
}

void TStrings::SetStrings(int index, std::u16string value) {
  CheckIndex(index);
  FItems[static_cast<std::size_t>(index)] = std::move(value);
}

int TStrings::Add(std::u16string line) {
  FItems.push_back(std::move(line));
  return Count() - 1;
}

void TStrings::Insert(int index, std::u16string line) {
  CheckIndex(index, true);
  FItems.insert(FItems.begin() + index, std::move(line));
}

void TStrings::Delete(int index) {
  CheckIndex(index);
  FItems.erase(FItems.begin() + index);
}

int TStrings::IndexOf(std::u16string_view text) const {
  for (int i = 0; i < Count(); ++i) {
    if (SameTextAscii(FItems[static_cast<std::size_t>(i)], text)) {
      return i;
    }
  }
  return -1;
}

std::u16string TStrings::Names(int index) const {
  const std::u16string& line = Strings(index);
  const auto separator = line.find(NameValueSeparator);
  return separator == std::u16string::npos ? std::u16string() : line.substr(0, separator);
}

std::u16string TStrings::ValueFromIndex(int index) const {
  const std::u16string& line = Strings(index);
  const auto separator = line.find(NameValueSeparator);
  return separator == std::u16string::npos ? std::u16string() : line.substr(separator + 1);
}

int TStrings::IndexOfName(std::u16string_view name) const {
  // Only lines holding a separator have a name: "abc" is not the line of the empty name.
  for (int i = 0; i < Count(); ++i) {
    const std::u16string_view line = FItems[static_cast<std::size_t>(i)];
    const auto separator = line.find(NameValueSeparator);
    if (separator != std::u16string_view::npos && SameTextAscii(line.substr(0, separator), name)) {
      return i;
    }
  }
  return -1;
}

std::u16string TStrings::Values(std::u16string_view name) const {
  const int index = IndexOfName(name);
  return index < 0 ? std::u16string() : ValueFromIndex(index);
}

void TStrings::SetValues(std::u16string_view name, std::u16string_view value) {
  const int index = IndexOfName(name);
  if (value.empty()) {
    if (index >= 0) {
      Delete(index);
    }
    return;
  }
  std::u16string line(name);
  line.push_back(NameValueSeparator);
  line += value;
  if (index >= 0) {
    FItems[static_cast<std::size_t>(index)] = std::move(line);
  } else {
    FItems.push_back(std::move(line));
  }
}

std::u16string TStrings::Text() const {
  std::u16string text;
  for (const std::u16string& line : FItems) {
    text += line;
    text += u"\r\n";
  }
  return text;
}

void TStrings::SetText(std::u16string_view text) {
  std::vector<std::u16string> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const char16_t c = text[i];
    if (c == u'\r' || c == u'\n') {
      lines.emplace_back(text.substr(start, i - start));
      i += (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  // A final line break ends the last line; it does not open an empty one.
  if (start < text.size()) {
    lines.emplace_back(text.substr(start));
  }
  FItems = std::move(lines);
}

} // namespace isapi_web
