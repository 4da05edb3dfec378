// Reads back the reference sink's file; see rel_logfile.h.
#include "tests/reliability/rel_logfile.h"

#include <sstream>

#include "tests/reliability/rel_fs.h"

namespace rel {
namespace {

// "func:line: text" after the level and the class.
bool ParseRecord(const std::string& line, LogRecord* rec) {
    const size_t levelAt = line.find(' ');
    if (levelAt == std::string::npos) return false;
    const size_t classAt = line.find(' ', levelAt + 1);
    if (classAt == std::string::npos) return false;
    const size_t funcAt = line.find(' ', classAt + 1);
    if (funcAt == std::string::npos) return false;
    const size_t textAt = line.find(": ", funcAt + 1);
    if (textAt == std::string::npos) return false;
    rec->level = line.substr(levelAt + 1, classAt - levelAt - 1);
    const std::string where = line.substr(funcAt + 1, textAt - funcAt - 1);
    rec->func = where.substr(0, where.rfind(':'));
    rec->text = line.substr(textAt + 2);
    return true;
}

}  // namespace

std::vector<LogRecord> ReadLogFile(const std::string& path) {
    std::string bytes;
    std::vector<LogRecord> out;
    if (!ReadFile(path, &bytes)) return out;
    std::istringstream in(bytes);
    std::string line;
    while (std::getline(in, line)) {
        LogRecord rec;
        if (!ParseRecord(line, &rec)) rec = {"", "", line};
        out.push_back(std::move(rec));
    }
    return out;
}

bool SplitTaskId(const std::string& text, std::string* id, std::string* rest) {
    if (text.empty() || text[0] != '[') return false;
    const size_t close = text.find(']');
    if (close == std::string::npos) return false;
    *id = text.substr(1, close - 1);
    *rest = text.substr(close + 1);
    return true;
}

std::map<std::pair<std::string, std::string>, int> CountByTaskId(
    const std::vector<LogRecord>& records) {
    std::map<std::pair<std::string, std::string>, int> counts;
    std::string id;
    std::string rest;
    for (const auto& r : records) {
        if (SplitTaskId(r.text, &id, &rest)) ++counts[{id, rest}];
    }
    return counts;
}

}  // namespace rel
