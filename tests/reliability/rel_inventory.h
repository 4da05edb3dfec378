// Inventory of a log directory: every log line it holds, wherever it lies (a plain file, a
// .gz of one or more gzip members, a .tar, or a .tar.gz), and every file a later run could
// mistake for something it is not (a damaged .gz, a .tar.gz or .tar that ends early, a
// compressor's leftover temporary file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace rel {

// A multiset of lines, kept as 64-bit hashes; optionally a sample text per hash for messages.
class LineSet {
  public:
    explicit LineSet(bool keepSamples = false) : keepSamples_(keepSamples) {}
    // Every line of text; a last line without a newline counts as a line too.
    void AddText(std::string_view text);
    void Merge(const LineSet& other);
    size_t Size() const { return total_; }
    // How many lines of this set (with multiplicity) `other` lacks; fills up to maxSamples
    // texts of such lines when this set keeps samples.
    size_t MissingFrom(const LineSet& other, std::vector<std::string>* samples = nullptr,
                       size_t maxSamples = 5) const;

  private:
    bool keepSamples_;
    size_t total_ = 0;
    std::unordered_map<uint64_t, uint32_t> counts_;
    std::unordered_map<uint64_t, std::string> samples_;
};

struct TarMember {
    std::string name;
    std::string data;
};

// Reads a tar archive. True when it is whole: every member's data is there and an
// end-of-archive block follows. The members read before a defect are returned either way.
bool ReadTar(std::string_view data, std::vector<TarMember>* members, std::string* err);

// Decompresses every gzip member of data in turn. False (with the reason) when any member
// is damaged or cut short, or when there is no member at all.
bool GunzipAll(std::string_view data, std::string* out, std::string* err);

struct Inventory {
    LineSet lines;
    std::vector<std::string> names;         // every entry, sorted
    std::vector<std::string> damaged;       // "<name>: reason" for a .gz/.tar.gz that fails
    std::vector<std::string> partialTars;   // "<name>: reason" for a .tar that ends early
    std::vector<std::string> tempFiles;     // the compressor's temporaries ("*~gz")
    std::vector<std::string> completeTars;  // whole .tar files (left by a crash or a failure)
};

// Reads every entry of dir (not recursing).
Inventory TakeInventory(const std::string& dir, bool keepSamples = false);

// Empty when every line of `before` is still in `after`; otherwise a report with samples.
std::string LostLines(const LineSet& before, const LineSet& after);

}  // namespace rel
