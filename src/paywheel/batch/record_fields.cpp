#include "paywheel/batch/record_fields.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
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

// What one run of lines gathers of each text field before the runs are
// joined: its characters (the lengths are already in the offsets).
using RunTexts = std::vector<std::vector<char>>;

// Bit 7 of each byte of the result is set where that byte of `word` is
// `delimiter`'s, and no other bit (no carry crosses a byte).
std::uint64_t delimiter_bytes(std::uint64_t word, std::uint64_t pattern) noexcept {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t x = word ^ pattern;
    return ~(((x & kLow7) + kLow7) | x | kLow7);
}

class Reader {
public:
    Reader(std::string_view block, char delimiter, std::size_t field_count, const std::vector<WantedField>& wanted,
           const std::vector<std::size_t>& starts, RecordFields& out)
        : block_(block), delimiter_(delimiter), field_count_(field_count), wanted_(wanted), starts_(starts),
          out_(out) {
        for (const WantedField& w : wanted) last_cut_ = std::max(last_cut_, w.index + 1);
    }

    // Reads lines [first, last) into their places; false when one is not
    // clean (the run stops there).
    bool run(std::size_t first, std::size_t last, RunTexts& texts) const {
        // Where each field of a line ends: the run's own, gone with it.
        std::vector<std::size_t> cuts(field_count_ + 1);
        for (std::size_t w = 0; w < texts.size(); ++w)
            if (out_.fields[w].kind == FieldKind::Text) texts[w].reserve((last - first) * 8);
        for (std::size_t i = first; i < last; ++i) {
            if (dirty_.load(std::memory_order_relaxed)) return false;
            if (!line(i, texts, cuts)) {
                dirty_.store(true, std::memory_order_relaxed);
                return false;
            }
        }
        return true;
    }

private:
    bool line(std::size_t i, RunTexts& texts, std::vector<std::size_t>& cuts) const {
        const char* p = block_.data() + starts_[i];
        const char* end = block_.data() + starts_[i + 1];
        if (end > p && end[-1] == '\n') --end;
        if (end > p && end[-1] == '\r') --end;
        if (end == p || std::memchr(p, '\r', static_cast<std::size_t>(end - p)) != nullptr) return false;
        // Every delimiter of the line, eight bytes at a time: field k starts
        // at p + cuts[k] and ends one byte before p + cuts[k + 1].
        std::size_t n = 0;
        cuts[n++] = 0;
        const char* c = p;
        if constexpr (std::endian::native == std::endian::little) {
            const std::uint64_t pattern = 0x0101010101010101ULL * static_cast<unsigned char>(delimiter_);
            for (; end - c >= 8; c += 8) {
                std::uint64_t word;
                std::memcpy(&word, c, sizeof word);
                std::uint64_t hits = delimiter_bytes(word, pattern);
                if (n > last_cut_) {
                    // Past the last wanted field the delimiters are only
                    // counted: one bit each, gathered in a product's top byte.
                    n += static_cast<std::size_t>(((hits >> 7) * 0x0101010101010101ULL) >> 56);
                    if (n > field_count_) return false;
                    continue;
                }
                for (; hits != 0; hits &= hits - 1) {
                    if (n == field_count_) return false;
                    cuts[n++] = static_cast<std::size_t>(c - p) + (static_cast<std::size_t>(std::countr_zero(hits)) >> 3) + 1;
                }
            }
        }
        for (; c != end; ++c) {
            if (*c != delimiter_) continue;
            if (n == field_count_) return false;
            cuts[n++] = static_cast<std::size_t>(c - p) + 1;
        }
        if (n != field_count_) return false;
        cuts[n] = static_cast<std::size_t>(end - p) + 1;
        for (std::size_t w = 0; w < wanted_.size(); ++w) {
            const std::size_t k = wanted_[w].index;
            if (!field(w, i, std::string_view(p + cuts[k], cuts[k + 1] - 1 - cuts[k]), texts)) return false;
        }
        return true;
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
    const std::vector<WantedField>& wanted_;
    std::size_t last_cut_ = 0;  // the last of cuts a wanted field reads
    const std::vector<std::size_t>& starts_;
    RecordFields& out_;
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
    const char* const first = text.data();
    const char* const last = first + text.size();
    const char* p = first;
    bool negative = false;
    if (p != last && (*p == '+' || *p == '-')) negative = *p++ == '-';
    // The digits as one integer, while they are few enough to be exact.
    std::uint64_t mantissa = 0;
    long long significant = 0, fraction = 0, digits = 0;
    for (; p != last && is_digit(*p); ++p, ++digits) {
        mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
        significant += (significant > 0 || *p != '0') ? 1 : 0;
    }
    if (p != last && *p == '.') {
        for (++p; p != last && is_digit(*p); ++p, ++digits, ++fraction) {
            mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
            significant += (significant > 0 || *p != '0') ? 1 : 0;
        }
    }
    if (digits == 0) return false;
    long long exponent = 0;
    if (p != last && (*p == 'e' || *p == 'E')) {
        ++p;
        bool below = false;
        if (p != last && (*p == '+' || *p == '-')) below = *p++ == '-';
        const char* const exponent_digits = p;
        for (; p != last && is_digit(*p); ++p)
            if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
        if (p == exponent_digits) return false;
        if (below) exponent = -exponent;
    }
    if (p != last) return false;
    // At most 15 significant digits and a power of ten up to 22: both are
    // exact doubles, so one multiplication or division rounds the exact value
    // once, to nearest.
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const long long power = exponent - fraction;
    if (significant <= 15 && power >= -22 && power <= 22) {
        const auto m = static_cast<double>(mantissa);
        const double value = power >= 0 ? m * kPow10[power] : m / kPow10[-power];
        out = negative ? -value : value;
        return true;
    }
    // Past that, the standard library's correctly rounded reading (which
    // takes a '-' but no '+'); a result out of range does not read.
    double value = 0;
    const char* const from = first + (*first == '+' ? 1 : 0);
    const auto [ptr, ec] = std::from_chars(from, last, value);
    if (ec != std::errc() || ptr != last) return false;
    out = value;
    return true;
}

bool read_int32(std::string_view text, std::int32_t& out) noexcept {
    const char* p = text.data();
    const char* const last = p + text.size();
    const bool negative = p != last && *p == '-';
    if (negative) ++p;
    if (p == last) return false;
    std::int64_t value = 0;
    for (; p != last; ++p) {
        if (!is_digit(*p)) return false;
        value = value * 10 + (*p - '0');
        if (value > std::int64_t{INT32_MAX} + 1) return false;
    }
    if (!negative && value > INT32_MAX) return false;
    out = static_cast<std::int32_t>(negative ? -value : value);
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
        std::int64_t present = 0;  // the bits past the last line are 0
        for (const std::uint8_t bits : f.valid) present += std::popcount(bits);
        f.nulls = static_cast<std::int64_t>(lines) - present;
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
