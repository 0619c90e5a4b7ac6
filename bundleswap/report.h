#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bundleswap {

// ISO 8601 in UTC to the second with the suffix Z: "2025-03-01T08:15:30Z".
std::string isoTime(std::chrono::system_clock::time_point when);

// Items in double quotation marks, separated by ", ", in square brackets: ["a", "b"].
std::string quotedList(const std::vector<std::string>& items);

// Items separated by ", " in square brackets: [812, 813].
std::string plainList(const std::vector<std::int32_t>& items);

// Writes "<time> <message>\n" to standard error and, when logPath is non-empty, appends it to
// that file, opened and closed for this one line; a file that cannot be opened is skipped.
void logLine(const std::string& logPath, const std::string& message);

struct ResultDocument {
  bool ok = false;
  std::string from;
  std::string to;
  std::string code;   // only when ok is false
  std::string error;  // only when ok is false
};

// The compact JSON object of a result file, stamped with the given time.
std::string resultJson(const ResultDocument& result, std::chrono::system_clock::time_point at);

// Replaces resultPath atomically with the result document; nothing when resultPath is empty.
// Errors are ignored: the exit status still tells success from failure.
void writeResult(const std::string& resultPath, const ResultDocument& result);

struct ToolRun {
  std::int32_t status = 0;  // termination status; -1 when the tool could not be started
  std::string output;       // standard output and error as one UTF-8 text, or the start error
};

// Runs an executable (no shell) with its input on the null device and both output streams
// on one pipe, to its end.
ToolRun runTool(const std::string& executable, const std::vector<std::string>& arguments);

}  // namespace bundleswap
