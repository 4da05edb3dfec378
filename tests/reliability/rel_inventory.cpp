// Line inventory of a log directory; see rel_inventory.h.
#include "tests/reliability/rel_inventory.h"

#include <dirent.h>
#include <libdeflate.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "fileUtils/file_compress.h"
#include "tests/reliability/rel_fs.h"

namespace rel {
namespace {

constexpr size_t kBlock = 512;
constexpr size_t kFirstGuess = 4u << 20;
constexpr size_t kMaxMember = 1u << 30;

uint64_t Fnv1a(std::string_view s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// ---- tar headers

uint64_t ParseOctal(const char* p, size_t n) {
    uint64_t v = 0;
    if (static_cast<unsigned char>(p[0]) & 0x80) {  // base-256 for large sizes
        for (size_t i = 1; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
        return v;
    }
    for (size_t i = 0; i < n && p[i] != '\0'; ++i) {
        if (p[i] >= '0' && p[i] <= '7') v = v * 8 + static_cast<uint64_t>(p[i] - '0');
    }
    return v;
}

bool IsZeroBlock(const char* p) {
    return std::all_of(p, p + kBlock, [](char c) { return c == '\0'; });
}

bool ChecksumOk(const char* h) {
    uint64_t sum = 0;
    for (size_t i = 0; i < kBlock; ++i) {
        sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
    }
    return sum == ParseOctal(h + 148, 8);
}

std::string Field(const char* p, size_t n) {
    return std::string(p, strnlen(p, n));
}

std::string MemberName(const char* h) {
    std::string name = Field(h, 100);
    if (std::string_view(h + 257, 5) == "ustar") {
        const std::string prefix = Field(h + 345, 155);
        if (!prefix.empty()) name = prefix + "/" + name;
    }
    return name;
}

// ---- one directory entry

void AddTarMembers(const std::vector<TarMember>& members, LineSet& lines) {
    for (const auto& m : members) lines.AddText(m.data);
}

void ReadGz(const std::string& name, const std::string& bytes, Inventory& inv) {
    std::string plain;
    std::string err;
    if (!GunzipAll(bytes, &plain, &err)) {
        inv.damaged.push_back(name + ": " + err);
        return;
    }
    if (!EndsWith(name, ".tar.gz")) {
        inv.lines.AddText(plain);
        return;
    }
    std::vector<TarMember> members;
    if (!ReadTar(plain, &members, &err)) inv.damaged.push_back(name + ": tar inside: " + err);
    AddTarMembers(members, inv.lines);
}

void ReadEntry(const std::string& dir, const std::string& name, Inventory& inv) {
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (EndsWith(name, FILE_COMPRESS_TEMP_SUFFIX)) {
        inv.tempFiles.push_back(name);
        return;
    }
    std::string bytes;
    if (!ReadFile(path, &bytes)) {
        inv.damaged.push_back(name + ": unreadable");
        return;
    }
    if (EndsWith(name, ".gz")) {
        ReadGz(name, bytes, inv);
    } else if (EndsWith(name, ".tar")) {
        std::vector<TarMember> members;
        std::string err;
        if (ReadTar(bytes, &members, &err)) {
            inv.completeTars.push_back(name);
        } else {
            inv.partialTars.push_back(name + ": " + err);
        }
        AddTarMembers(members, inv.lines);  // whole members of a cut archive still hold lines
    } else {
        inv.lines.AddText(bytes);
    }
}

}  // namespace

void LineSet::AddText(std::string_view text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        const uint64_t h = Fnv1a(line);
        ++counts_[h];
        ++total_;
        if (keepSamples_) samples_.emplace(h, std::string(line.substr(0, 160)));
        start = end + 1;
    }
}

void LineSet::Merge(const LineSet& other) {
    for (const auto& [h, n] : other.counts_) counts_[h] += n;
    total_ += other.total_;
    if (keepSamples_) {
        for (const auto& [h, s] : other.samples_) samples_.emplace(h, s);
    }
}

size_t LineSet::MissingFrom(const LineSet& other, std::vector<std::string>* samples,
                            size_t maxSamples) const {
    size_t missing = 0;
    for (const auto& [h, n] : counts_) {
        const auto it = other.counts_.find(h);
        const uint32_t have = it == other.counts_.end() ? 0 : it->second;
        if (have >= n) continue;
        missing += n - have;
        if (samples != nullptr && samples->size() < maxSamples) {
            const auto s = samples_.find(h);
            samples->push_back(s != samples_.end() ? s->second : "<no sample kept>");
        }
    }
    return missing;
}

bool ReadTar(std::string_view data, std::vector<TarMember>* members, std::string* err) {
    size_t pos = 0;
    std::string longName;
    for (;;) {
        if (pos + kBlock > data.size()) {
            *err = "ends before the end-of-archive block (offset " + std::to_string(pos) + ")";
            return false;
        }
        const char* h = data.data() + pos;
        if (IsZeroBlock(h)) return true;
        if (!ChecksumOk(h)) {
            *err = "bad header checksum at offset " + std::to_string(pos);
            return false;
        }
        const uint64_t size = ParseOctal(h + 124, 12);
        const char type = h[156];
        pos += kBlock;
        if (size > data.size() - pos) {
            *err = "member " + MemberName(h) + " cut short";
            return false;
        }
        const std::string_view body = data.substr(pos, size);
        if (type == 'L') {
            longName = Field(body.data(), body.size());
        } else {
            if ((type == '0' || type == '\0') && members != nullptr) {
                members->push_back(
                    {longName.empty() ? MemberName(h) : longName, std::string(body)});
            }
            longName.clear();
        }
        pos += (size + kBlock - 1) / kBlock * kBlock;
    }
}

bool GunzipAll(std::string_view data, std::string* out, std::string* err) {
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> d(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    if (!d) {
        *err = "no memory for a decompressor";
        return false;
    }
    if (data.empty()) {
        *err = "empty file";
        return false;
    }
    std::string buf;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t cap = std::min(kFirstGuess, std::max<size_t>(64 * 1024, (data.size() - pos) * 8));
        for (;;) {
            buf.resize(cap);
            size_t used = 0;
            size_t got = 0;
            const libdeflate_result r = libdeflate_gzip_decompress_ex(
                d.get(), data.data() + pos, data.size() - pos, buf.data(), cap, &used, &got);
            if (r == LIBDEFLATE_INSUFFICIENT_SPACE && cap < kMaxMember) {
                cap *= 2;
                continue;
            }
            if (r != LIBDEFLATE_SUCCESS) {
                *err = "gzip member at offset " + std::to_string(pos) + " is damaged or cut short";
                return false;
            }
            out->append(buf.data(), got);
            pos += used;
            break;
        }
    }
    return true;
}

Inventory TakeInventory(const std::string& dir, bool keepSamples) {
    Inventory inv;
    inv.lines = LineSet(keepSamples);
    inv.names = ListDir(dir);
    for (const auto& name : inv.names) ReadEntry(dir, name, inv);
    return inv;
}

std::string LostLines(const LineSet& before, const LineSet& after) {
    std::vector<std::string> samples;
    const size_t missing = before.MissingFrom(after, &samples);
    if (missing == 0) return "";
    std::string text = std::to_string(missing) + " of " + std::to_string(before.Size()) +
                       " log lines are gone, e.g.:";
    for (const auto& s : samples) text += "\n  " + s;
    return text;
}

}  // namespace rel
