#include "bundleswap/report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "common/files.h"
#include "common/process.h"
#include "common/text.h"

namespace bundleswap {

std::string isoTime(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string quotedList(const std::vector<std::string>& items) {
  std::vector<std::string> quoted;
  quoted.reserve(items.size());
  for (const auto& item : items) quoted.push_back("\"" + item + "\"");
  return "[" + quorvel::join(quoted, ", ") + "]";
}

std::string plainList(const std::vector<std::int32_t>& items) {
  std::vector<std::string> numbers;
  numbers.reserve(items.size());
  for (const auto item : items) numbers.push_back(std::to_string(item));
  return "[" + quorvel::join(numbers, ", ") + "]";
}

void logLine(const std::string& logPath, const std::string& message) {
  const std::string line = isoTime(std::chrono::system_clock::now()) + " " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  if (logPath.empty()) return;
  const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::close(fd);
}

std::string resultJson(const ResultDocument& result, std::chrono::system_clock::time_point at) {
  nlohmann::json document = {
      {"ok", result.ok}, {"from", result.from}, {"to", result.to}, {"at", isoTime(at)}};
  if (!result.ok) {
    document["code"] = result.code;
    document["error"] = result.error;
  }
  return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void writeResult(const std::string& resultPath, const ResultDocument& result) {
  if (resultPath.empty()) return;
  const std::string temporary = resultPath + ".tmp-" + std::to_string(::getpid());
  if (!quorvel::writeFile(temporary, resultJson(result, std::chrono::system_clock::now()))) {
    ::unlink(temporary.c_str());
    return;
  }
  if (std::rename(temporary.c_str(), resultPath.c_str()) != 0) ::unlink(temporary.c_str());
}

ToolRun runTool(const std::string& executable, const std::vector<std::string>& arguments) {
  quorvel::SpawnRequest request;
  request.executable = executable;
  request.arguments = arguments;
  std::string error;
  const auto captured = quorvel::runCaptured(request, &error);
  if (!captured) return {-1, error};
  return {captured->status.shellCode(), quorvel::decodeUtf8Lossy(captured->output)};
}

}  // namespace bundleswap
