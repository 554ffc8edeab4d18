#include "host/header_block.h"

#include <cstring>

#include "host/host_text.h"

namespace isapi_web::host {

namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

bool ValidValue(std::string_view value) {
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 32 && c != '\t') || byte == 127)
      return false;
  }
  return true;
}

} // namespace

bool IsHttpToken(std::string_view text) {
  if (text.empty())
    return false;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum && (byte >= 128 || std::strchr("!#$%&'*+-.^_`|~", c) == nullptr || c == '\0'))
      return false;
  }
  return true;
}

std::optional<THeaderBlock> ParseHeaderBlock(std::string_view block) {
  THeaderBlock result;
  if (block.empty())
    return result;
  std::size_t position = 0;
  while (true) {
    const std::size_t newline = block.find('\n', position);
    if (newline == std::string_view::npos)
      return std::nullopt; // no blank line ends the block
    std::string_view line = block.substr(position, newline - position);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    position = newline + 1;
    if (line.empty())
      break;
    if (line.find('\r') != std::string_view::npos)
      return std::nullopt;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
      return std::nullopt;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (!IsHttpToken(name) || !ValidValue(value))
      return std::nullopt;
    result.Fields.emplace_back(std::string(name), std::string(value));
  }
  result.BodyStart = std::string(block.substr(position));
  return result;
}

std::optional<TStatusText> ParseStatusText(std::string_view status) {
  if (status.size() < 3)
    return std::nullopt;
  unsigned code = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (status[i] < '0' || status[i] > '9')
      return std::nullopt;
    code = code * 10 + static_cast<unsigned>(status[i] - '0');
  }
  if (code < 100)
    return std::nullopt;
  if (status.size() > 3 && status[3] != ' ')
    return std::nullopt;
  if (HasControlCharacter(status))
    return std::nullopt;
  TStatusText result;
  result.Code = code;
  result.Text = std::string(TrimBlanks(status));
  // The status line needs the space after the code even when the reason is empty; strict
  // clients refuse "HTTP/1.1 200" without it.
  if (result.Text.size() == 3)
    result.Text += ' ';
  return result;
}

std::optional<THeaderBlock> ParseAnswerHeaderBlock(std::string_view block) {
  std::optional<THeaderBlock> parsed = ParseHeaderBlock(block);
  if (!parsed)
    return std::nullopt;
  for (const auto& [name, value] : parsed->Fields) {
    if (EqualsIgnoreCase(name, "Content-Length") &&
        (value.empty() || value.size() > 18 ||
         value.find_first_not_of("0123456789") != std::string::npos))
      return std::nullopt;
  }
  return parsed;
}

} // namespace isapi_web::host
