#include "host/access_log.h"

#include "host/host_text.h"

namespace isapi_web::host {

namespace {

std::string LogField(std::string_view text) {
  if (text.empty())
    return "-";
  std::string result = EscapeControlBytes(text);
  for (char& c : result)
    if (c == ' ')
      c = '+';
  return result;
}

std::string DateAndTime(std::chrono::system_clock::time_point moment) {
  const TCivilTime t = ToCivilTime(moment);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.Year, t.Month, t.Day, t.Hour,
                t.Minute, t.Second);
  return text;
}

} // namespace

std::string W3CHeaderLines(std::chrono::system_clock::time_point start, std::string_view software) {
  std::string result = "#Software: ";
  result += software;
  result += "\n#Version: 1.0\n#Date: ";
  result += DateAndTime(start);
  result += "\n#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port c-ip "
            "cs(User-Agent) cs(Referer) sc-status time-taken\n";
  return result;
}

std::string W3CLogLine(const TAccessLogEntry& entry) {
  std::string line = DateAndTime(entry.Time);
  for (const std::string_view field :
       {std::string_view(entry.ServerIp), std::string_view(entry.Method),
        std::string_view(entry.UriStem)}) {
    line += ' ';
    line += LogField(field);
  }
  line += ' ';
  line += LogField(entry.UriQuery + entry.ExtensionLogData);
  for (const std::string_view field :
       {std::string_view(entry.ServerPort), std::string_view(entry.ClientIp),
        std::string_view(entry.UserAgent), std::string_view(entry.Referer)}) {
    line += ' ';
    line += LogField(field);
  }
  line += ' ' + std::to_string(entry.Status) + ' ' + std::to_string(entry.TimeTakenMs) + '\n';
  return line;
}

std::unique_ptr<TAccessLog> TAccessLog::Open(const std::string& file, std::string_view software,
                                             std::string& error) {
  std::FILE* stream = stdout;
  const bool owned = file != "-";
  if (owned) {
    stream = std::fopen(file.c_str(), "a");
    if (stream == nullptr) {
      error = "cannot open the access log " + file;
      return nullptr;
    }
  }
  std::unique_ptr<TAccessLog> log(new TAccessLog(stream, owned));
  const std::string header = W3CHeaderLines(std::chrono::system_clock::now(), software);
  std::fwrite(header.data(), 1, header.size(), stream);
  std::fflush(stream);
  return log;
}

TAccessLog::~TAccessLog() {
  if (FOwned)
    std::fclose(FStream);
  else
    std::fflush(FStream);
}

void TAccessLog::Write(const TAccessLogEntry& entry) {
  const std::string line = W3CLogLine(entry);
  std::lock_guard lock(FMutex);
  std::fwrite(line.data(), 1, line.size(), FStream);
  std::fflush(FStream);
}

} // namespace isapi_web::host
