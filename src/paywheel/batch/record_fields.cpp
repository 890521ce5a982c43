#include "paywheel/batch/record_fields.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <cstring>
#include <new>
#include <system_error>

#include "paywheel/batch/pool.hpp"

namespace paywheel::batch {

namespace {

// Lines a run holds: a multiple of 8, so that no two runs share a byte of a
// validity bitmap, and large enough that handing a run out costs nothing.
constexpr std::size_t kRunLines = 4096;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Where each wanted field goes, by record position (-1: not wanted).
struct Plan {
    std::vector<int> slot_of;
    std::size_t last_wanted = 0;
};

// What one run of lines gathers of each text field before the runs are
// joined: its characters (the lengths are already in the offsets).
using RunTexts = std::vector<std::vector<char>>;

class Reader {
public:
    Reader(std::string_view block, char delimiter, std::size_t field_count, const std::vector<WantedField>& wanted,
           const std::vector<std::size_t>& starts, RecordFields& out)
        : block_(block), delimiter_(delimiter), field_count_(field_count), starts_(starts), out_(out) {
        plan_.slot_of.assign(field_count, -1);
        for (std::size_t w = 0; w < wanted.size(); ++w) {
            plan_.slot_of[wanted[w].index] = static_cast<int>(w);
            plan_.last_wanted = std::max(plan_.last_wanted, wanted[w].index);
        }
    }

    // Reads lines [first, last) into their places; false when one is not
    // clean (the run stops there).
    bool run(std::size_t first, std::size_t last, RunTexts& texts) const {
        for (std::size_t i = first; i < last; ++i) {
            if (dirty_.load(std::memory_order_relaxed)) return false;
            if (!line(i, texts)) {
                dirty_.store(true, std::memory_order_relaxed);
                return false;
            }
        }
        return true;
    }

private:
    bool line(std::size_t i, RunTexts& texts) const {
        const char* p = block_.data() + starts_[i];
        const char* end = block_.data() + starts_[i + 1];
        if (end > p && end[-1] == '\n') --end;
        if (end > p && end[-1] == '\r') --end;
        if (end == p || std::memchr(p, '\r', static_cast<std::size_t>(end - p)) != nullptr) return false;
        // Fields up to the last wanted one are read in a walk of the line;
        // past it only the delimiters are counted.
        std::size_t k = 0;
        const char* start = p;
        for (const char* c = p;; ++c) {
            if (c != end && *c != delimiter_) continue;
            const int slot = k < field_count_ ? plan_.slot_of[k] : -1;
            if (slot >= 0 && !field(static_cast<std::size_t>(slot), i, std::string_view(start, static_cast<std::size_t>(c - start)), texts))
                return false;
            ++k;
            if (c == end) break;
            start = c + 1;
            if (k > plan_.last_wanted) {
                k += static_cast<std::size_t>(std::count(start, end, delimiter_)) + 1;
                break;
            }
        }
        return k == field_count_;
    }

    bool field(std::size_t slot, std::size_t i, std::string_view text, RunTexts& texts) const {
        FieldValues& f = out_.fields[slot];
        if (text.empty()) {
            // Null: the bit stays 0, the value 0; a text's offset repeats.
            if (f.kind == FieldKind::Text) f.offsets[i + 1] = 0;
            return true;
        }
        switch (f.kind) {
            case FieldKind::Float64:
                if (!read_float64(text, f.floats[i])) return false;
                break;
            case FieldKind::Int32:
                if (!read_int32(text, f.ints[i])) return false;
                break;
            case FieldKind::Text: {
                // Plain ASCII only: anything else is the general reader's to
                // check as UTF-8.
                for (char c : text)
                    if (static_cast<unsigned char>(c) >= 0x80) return false;
                std::vector<char>& chars = texts[slot];
                chars.insert(chars.end(), text.begin(), text.end());
                f.offsets[i + 1] = static_cast<std::int32_t>(text.size());  // a length until joined
                break;
            }
        }
        f.valid[i >> 3] = static_cast<std::uint8_t>(f.valid[i >> 3] | (1u << (i & 7)));
        return true;
    }

    std::string_view block_;
    char delimiter_;
    std::size_t field_count_;
    const std::vector<std::size_t>& starts_;
    RecordFields& out_;
    Plan plan_;
    mutable std::atomic<bool> dirty_{false};
};

// Where every line starts, and the block's end last.
std::vector<std::size_t> line_starts(std::string_view block) {
    std::vector<std::size_t> starts;
    starts.reserve(block.size() / 128 + 2);
    std::size_t pos = 0;
    while (pos < block.size()) {
        starts.push_back(pos);
        const void* nl = std::memchr(block.data() + pos, '\n', block.size() - pos);
        pos = nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - block.data()) + 1 : block.size();
    }
    starts.push_back(block.size());
    return starts;
}

}  // namespace

bool read_float64(std::string_view text, double& out) noexcept {
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (n == 0) return false;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t number = text[0] == '+' ? 1 : 0;  // from_chars takes '-' but not '+'
    std::size_t digits = 0;
    while (i < n && is_digit(text[i])) ++i, ++digits;
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && is_digit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
        const std::size_t exponent = i;
        while (i < n && is_digit(text[i])) ++i;
        if (i == exponent) return false;
    }
    if (i != n) return false;
    double value = 0;
    const auto [ptr, ec] = std::from_chars(text.data() + number, text.data() + n, value);
    if (ec != std::errc() || ptr != text.data() + n) return false;
    out = value;
    return true;
}

bool read_int32(std::string_view text, std::int32_t& out) noexcept {
    if (text.empty() || !(is_digit(text[0]) || text[0] == '-')) return false;
    std::int32_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size()) return false;
    out = value;
    return true;
}

RecordFields read_record_fields(std::string_view block, char delimiter, std::size_t field_count,
                                const std::vector<WantedField>& wanted, std::size_t max_threads) {
    RecordFields out;
    // Text offsets are 32-bit; a block past that is the general reader's.
    if (field_count == 0 || block.size() > static_cast<std::size_t>(INT32_MAX)) return out;
    std::vector<bool> taken(field_count, false);
    for (const WantedField& w : wanted) {
        if (w.index >= field_count || taken[w.index]) return out;
        taken[w.index] = true;
    }
    const std::vector<std::size_t> starts = line_starts(block);
    const std::size_t lines = starts.size() - 1;
    out.lines = lines;
    out.fields.resize(wanted.size());
    for (std::size_t w = 0; w < wanted.size(); ++w) {
        FieldValues& f = out.fields[w];
        f.kind = wanted[w].kind;
        f.valid.assign((lines + 7) / 8, 0);
        if (f.kind == FieldKind::Float64) f.floats.assign(lines, 0.0);
        if (f.kind == FieldKind::Int32) f.ints.assign(lines, 0);
        if (f.kind == FieldKind::Text) f.offsets.assign(lines + 1, 0);
    }
    Reader reader(block, delimiter, field_count, wanted, starts, out);
    const std::size_t runs = (lines + kRunLines - 1) / kRunLines;
    std::vector<RunTexts> texts(runs, RunTexts(wanted.size()));
    std::atomic<bool> failed{false};
    auto one_run = [&](std::size_t r) {
        try {
            if (!reader.run(r * kRunLines, std::min(lines, (r + 1) * kRunLines), texts[r])) failed = true;
        } catch (...) {  // out of memory for a run's texts: the general reader takes the block
            failed = true;
        }
    };
    if (runs < 2) {
        for (std::size_t r = 0; r < runs; ++r) one_run(r);
    } else {
        run_on_pool(runs, max_threads, [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) one_run(r);
        });
    }
    if (failed) {
        out.fields.clear();
        return out;
    }
    // Join each text field's runs in line order: the lengths become offsets.
    for (std::size_t w = 0; w < wanted.size(); ++w) {
        FieldValues& f = out.fields[w];
        for (std::size_t i = 0; i < lines; ++i)
            if ((f.valid[i >> 3] >> (i & 7) & 1u) == 0) ++f.nulls;
        if (f.kind != FieldKind::Text) continue;
        std::size_t total = 0;
        for (const RunTexts& t : texts) total += t[w].size();
        f.chars.reserve(total);
        for (RunTexts& t : texts) {
            f.chars.insert(f.chars.end(), t[w].begin(), t[w].end());
            std::vector<char>().swap(t[w]);
        }
        for (std::size_t i = 0; i < lines; ++i) f.offsets[i + 1] += f.offsets[i];
    }
    out.clean = true;
    return out;
}

}  // namespace paywheel::batch
