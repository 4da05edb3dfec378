// Reads back what the reference logging sink wrote to its file:
//   2024-05-01T12:34:56.789Z ERROR [SYSTEM] LogCompExecAddTask:120: text
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace rel {

struct LogRecord {
    std::string level;  // "INFO", "WARN", "ERROR", ...
    std::string func;
    std::string text;
};

// Every record of the file; lines that do not have the sink's shape are kept whole as text.
std::vector<LogRecord> ReadLogFile(const std::string& path);

// Splits a trigger message "[<id>]rest" into its task id and the rest; false for others.
bool SplitTaskId(const std::string& text, std::string* id, std::string* rest);

// How often each (task id, rest) pair occurs among the trigger's messages.
std::map<std::pair<std::string, std::string>, int> CountByTaskId(
    const std::vector<LogRecord>& records);

}  // namespace rel
