// MOTChallenge text: the plain-number row reader and the results writer.
#include "mot/mot_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace kelmora::mot {

namespace {

// Byte kinds of the reader: separators (blanks, commas, newline) end a token; kBreak and
// kElsewhere bytes make Python see a data line otherwise, and kBreak ones a comment too.
enum ByteKind : unsigned char { kOther, kBlank, kComma, kNewline, kDigit, kPoint, kSign, kElsewhere, kBreak };

struct ByteKinds {
    ByteKind kind[256];
    constexpr ByteKinds() : kind() {
        for (int c = 0; c < 256; ++c) kind[c] = c >= 0x80 ? kElsewhere : kOther;
        kind[static_cast<unsigned char>(' ')] = kBlank;
        kind[static_cast<unsigned char>('\t')] = kBlank;
        kind[static_cast<unsigned char>('\r')] = kBlank;
        kind[static_cast<unsigned char>(',')] = kComma;
        kind[static_cast<unsigned char>('\n')] = kNewline;
        for (int c = '0'; c <= '9'; ++c) kind[c] = kDigit;
        kind[static_cast<unsigned char>('.')] = kPoint;
        kind[static_cast<unsigned char>('+')] = kSign;
        kind[static_cast<unsigned char>('-')] = kSign;
        // Line breaks to Python's str.splitlines (and blanks to str.strip and the regex \s), and
        // one more blank, which this reader does not treat as such.
        for (int c : {0x0B, 0x0C, 0x1C, 0x1D, 0x1E}) kind[c] = kBreak;
        kind[0x1F] = kElsewhere;
    }
};
constexpr ByteKinds kKinds;

ByteKind kind_of(char c) { return kKinds.kind[static_cast<unsigned char>(c)]; }
bool is_separator(ByteKind k) { return k == kBlank || k == kComma || k == kNewline; }
bool seen_otherwise(ByteKind k) { return k == kElsewhere || k == kBreak; }

// Whether data[i] is a CR at which Python ends a line: one that the LF ending the line at `end`
// does not follow (`lf` false: the line is the last and has none).
bool lone_cr(const char* data, std::size_t i, std::size_t end, bool lf) {
    return data[i] == '\r' && (i + 1 != end || !lf);
}

// Whether the comment data[i, end) holds a character at which str.splitlines ends a line early:
// a lone CR, a kBreak byte, or in UTF-8 NEL (C2 85), LS (E2 80 A8) or PS (E2 80 A9). Any other
// byte is comment text to Python too, whatever it decodes to: the bytes of these three
// characters always decode as them, since C2 and E2 start a character wherever they stand.
bool comment_breaks_line(const char* data, std::size_t i, std::size_t end, bool lf) {
    auto byte = [data](std::size_t k) { return static_cast<unsigned char>(data[k]); };
    for (; i < end; ++i) {
        if (kind_of(data[i]) == kBreak || lone_cr(data, i, end, lf)) return true;
        if (byte(i) == 0xC2 && i + 1 < end && byte(i + 1) == 0x85) return true;
        if (byte(i) == 0xE2 && i + 2 < end && byte(i + 1) == 0x80 && (byte(i + 2) == 0xA8 || byte(i + 2) == 0xA9)) {
            return true;
        }
    }
    return false;
}

// Powers of ten that a double holds exactly.
constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;

// Reads the token at *p up to the next separator, moving *p past it; the line ends in a separator
// (its LF, or one put there), which every loop here stops at. A plain decimal (an optional sign,
// digits with at most one point, at least one digit) gives true and its value: the correctly
// rounded double of the text, as Python's float() gives it. *elsewhere is set when the token holds
// a byte that makes Python see the file's lines or blanks otherwise.
inline bool read_token(const char** p, double* value, bool* elsewhere) {
    const char* k = *p;
    const bool negative = *k == '-';
    if (*k == '+' || *k == '-') ++k;
    const char* number = k;
    // The digits, with at most one point among them; past 19 digits the mantissa wraps and is not
    // used.
    std::uint64_t mantissa = 0;
    const char* first = k;
    for (unsigned d; (d = static_cast<unsigned char>(*k - '0')) < 10; ++k) mantissa = mantissa * 10 + d;
    std::size_t digits = static_cast<std::size_t>(k - first);
    std::size_t decimals = 0;
    if (*k == '.') {
        first = ++k;
        for (unsigned d; (d = static_cast<unsigned char>(*k - '0')) < 10; ++k) mantissa = mantissa * 10 + d;
        decimals = static_cast<std::size_t>(k - first);
        digits += decimals;
    }
    if (!is_separator(kind_of(*k))) {
        // Not a plain decimal: the rest of the token, noting bytes that Python sees otherwise.
        for (ByteKind kind; !is_separator(kind = kind_of(*k)); ++k) *elsewhere = *elsewhere || seen_otherwise(kind);
        *p = k;
        return false;
    }
    *p = k;
    if (digits == 0) return false;
    double magnitude;
    if (digits <= 19 && mantissa < kExactMantissa && decimals <= 22) {
        // Both integers are exact doubles and one division rounds their quotient correctly.
        magnitude = static_cast<double>(mantissa);
        if (decimals > 0) magnitude /= kExactPow10[decimals];
    } else {
        const auto result = std::from_chars(number, k, magnitude, std::chars_format::fixed);
        if (result.ec != std::errc() || result.ptr != k) return false;
    }
    // float("-x") is -float("x").
    *value = negative ? -magnitude : magnitude;
    return true;
}

// Appends the digits at p (up to the first other byte) to `mantissa`, as mantissa * 10 + d digit
// by digit modulo 2^64, moving p past them; returns how many there were.
inline std::size_t digit_run(const char*& p, std::uint64_t& mantissa) {
    const char* start = p;
    for (unsigned d; (d = static_cast<unsigned char>(*p - '0')) < 10; ++p) mantissa = mantissa * 10 + d;
    return static_cast<std::size_t>(p - start);
}

// The common line, read in one pass: values of an optional '-', digits and at most one point,
// separated by single commas, nothing else (but a CR before its LF). Writes them to `row` and
// returns their count, or 0 when the line needs the general scan: anything else in it, a value the
// quick conversion does not take, or more than kMaxColumns values. `end` is the line's LF (or
// the LF put after it), which stops every loop.
std::size_t read_common_line(const char* p, const char* end, bool lf, double* row) {
    std::size_t count = 0;
    for (;;) {
        if (count == kMaxColumns) return 0;
        const bool negative = *p == '-';
        p += negative;
        std::uint64_t mantissa = 0;
        std::size_t digits = digit_run(p, mantissa), decimals = 0;
        if (*p == '.') {
            ++p;
            decimals = digit_run(p, mantissa);
            digits += decimals;
        }
        // The same conversion as read_token's quick one, and only where it applies.
        if (digits == 0 || digits > 19 || mantissa >= kExactMantissa || decimals > 22) return 0;
        double magnitude = static_cast<double>(mantissa);
        if (decimals > 0) magnitude /= kExactPow10[decimals];
        row[count++] = negative ? -magnitude : magnitude;
        if (*p == ',') {
            ++p;
            continue;
        }
        if (p == end || (lf && *p == '\r' && p + 1 == end)) return count;
        return 0;
    }
}

}  // namespace

namespace {

// Scans the lines of `data` as read_plain_rows describes: calls on_row(line, values, count) for
// each row of plain numbers (count values, at most kMaxColumns of them stored) and
// on_other(line) for each other line with content. Returns false, part-way, when the whole file
// must go to the other reader.
template <typename OnRow, typename OnOther>
bool scan_plain_rows(const char* data, std::size_t size, OnRow&& on_row, OnOther&& on_other) {
    double row[kMaxColumns];
    std::int64_t line = 0;
    // The row-by-row reader drops a leading UTF-8 byte order mark too.
    std::size_t begin = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    bool elsewhere = false;
    // The last line, when no LF ends it, is read from a copy that one ends.
    std::string last;
    while (begin < size && !elsewhere) {
        const char* nl = static_cast<const char*>(std::memchr(data + begin, '\n', size - begin));
        const bool lf = nl != nullptr;
        const char* text = data + begin;
        std::size_t length = lf ? static_cast<std::size_t>(nl - text) : size - begin;
        if (!lf) {
            last.assign(text, length);
            last.push_back('\n');
            text = last.data();
        }
        ++line;
        const char* p = text;
        const char* end = text + length;  // its LF
        const std::size_t common = read_common_line(text, end, lf, row);
        if (common >= kMinColumns) {
            on_row(line, row, common);
            begin += length + 1;
            continue;
        }
        std::size_t count = 0;
        bool plain = true, comment = false, comma_before = false, comma_after = false;
        while (p < end) {
            const ByteKind kind = kind_of(*p);
            if (kind == kBlank) {
                elsewhere = elsewhere || lone_cr(text, static_cast<std::size_t>(p - text), length, lf);
                ++p;
                continue;
            }
            if (kind == kComma) {
                (count == 0 ? comma_before : comma_after) = true;
                ++p;
                continue;
            }
            comma_after = false;
            if (count == 0 && !comma_before && *p == '#') {
                // Python skips the line whatever it holds, as long as it cuts it here too.
                comment = true;
                elsewhere = elsewhere || comment_breaks_line(text, static_cast<std::size_t>(p - text), length, lf);
                break;
            }
            double value = 0.0;
            const bool read = read_token(&p, &value, &elsewhere);
            if (count < kMaxColumns) row[count] = value;
            plain = plain && read;
            ++count;
        }
        // A comment starts with '#' after blanks. A comma before the first value or after the last is
        // cut differently by a reader that strips commas first: that line goes to the other reader.
        const bool stray_comma = comma_before || comma_after;
        if (comment || (count == 0 && !stray_comma)) {
            // a comment or a blank line
        } else if (stray_comma || !plain || count < kMinColumns || count > kMaxColumns) {
            on_other(line);
        } else {
            on_row(line, row, count);
        }
        begin += length + 1;
    }
    return !elsewhere;
}

// Whether v is a whole number (std::floor is a library call without SSE4.1; a round trip through
// int64 is not, and is exact below 2^62, beyond which every double is whole).
bool whole(double v) {
    return !(std::fabs(v) < 4611686018427387904.0) ? v == v : static_cast<double>(static_cast<std::int64_t>(v)) == v;
}

// Whether a row of `count` values breaks a rule of the row-by-row reader for files of `kind`.
bool row_fault(const double* v, std::size_t count, FileKind kind, double max_frame) {
    constexpr double kInt32Max = 2147483647.0;
    const double left = v[2], top = v[3], width = v[4], height = v[5];
    const double inf = std::numeric_limits<double>::infinity();
    bool ok = whole(v[0]) && v[0] >= 1 && v[0] <= max_frame;
    ok = ok && whole(v[1]) && std::fabs(v[1]) <= kInt32Max;
    ok = ok && std::isfinite(left) && std::isfinite(top);
    ok = ok && width >= 0 && height >= 0 && width != inf && height != inf;
    ok = ok && std::isfinite(left + width) && std::isfinite(top + height);
    if (kind == FileKind::kDetections) {
        ok = ok && (count <= 6 || std::fabs(v[6]) != inf);
        const double cls = count > 7 ? v[7] : -1.0;
        ok = ok && (!(cls >= 0) || (whole(cls) && cls <= kInt32Max));
    }
    return !ok;
}

}  // namespace

PlainRows read_plain_rows(const char* data, std::size_t size) {
    PlainRows out;
    out.values.reserve(size / 4);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const bool read = scan_plain_rows(
        data, size,
        [&](std::int64_t line, double* row, std::size_t count) {
            for (std::size_t k = count; k < kMaxColumns; ++k) row[k] = nan;
            out.values.insert(out.values.end(), row, row + kMaxColumns);
            out.columns.push_back(static_cast<std::int64_t>(count));
            out.lines.push_back(line);
        },
        [&](std::int64_t line) { out.other_lines.push_back(line); });
    if (!read) {
        out = PlainRows();
        out.whole_file_elsewhere = true;
    }
    return out;
}

MotRows read_mot_rows(const char* data, std::size_t size, FileKind kind, double max_frame) {
    MotRows out;
    const std::size_t guess = size / 40;
    out.frames.reserve(guess);
    out.ids.reserve(guess);
    out.xyxy.reserve(4 * guess);
    out.conf.reserve(guess);
    out.class_ids.reserve(guess);
    out.lines.reserve(guess);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const bool read = scan_plain_rows(
        data, size,
        [&](std::int64_t line, const double* v, std::size_t count) {
            if (out.first_fault == 0 && row_fault(v, count, kind, max_frame)) out.first_fault = line;
            // A faulty row's values are never used: the caller reports the row.
            out.frames.push_back(v[0] >= 1 && v[0] <= max_frame ? static_cast<std::int64_t>(v[0]) : 0);
            out.ids.push_back(std::fabs(v[1]) < 9.2e18 ? static_cast<std::int64_t>(v[1]) : 0);
            // Corners as left + width and top + height, as NumPy adds the columns.
            out.xyxy.insert(out.xyxy.end(), {v[2], v[3], v[2] + v[4], v[3] + v[5]});
            out.conf.push_back(count > 6 ? v[6] : 1.0);
            double cls;
            if (kind == FileKind::kDetections) {
                cls = count > 7 && v[7] >= 0 ? v[7] : -1.0;
            } else {
                cls = count > 7 ? v[7] : kind == FileKind::kResults ? 1.0 : nan;
            }
            // The class as a whole number, truncated; none for NaN, infinities and the absurdly large.
            out.class_ids.push_back(std::fabs(cls) < 4611686018427387904.0 ? static_cast<std::int64_t>(cls) : kNoClass);
            out.lines.push_back(line);
        },
        [&](std::int64_t line) { out.other_lines.push_back(line); });
    if (!read) {
        out = MotRows();
        out.whole_file_elsewhere = true;
        return out;
    }
    // Stably by frame, as the caller would sort them, when nothing is left to the other reader.
    if (out.other_lines.empty() && out.first_fault == 0 && !std::is_sorted(out.frames.begin(), out.frames.end())) {
        const std::size_t n = out.frames.size();
        std::vector<std::size_t> order(n);
        for (std::size_t r = 0; r < n; ++r) order[r] = r;
        std::stable_sort(order.begin(), order.end(),
                         [&out](std::size_t a, std::size_t b) { return out.frames[a] < out.frames[b]; });
        auto permute = [&order, n](auto& column, std::size_t width) {
            auto copy = column;
            for (std::size_t r = 0; r < n; ++r) {
                for (std::size_t c = 0; c < width; ++c) column[r * width + c] = copy[order[r] * width + c];
            }
        };
        permute(out.frames, 1);
        permute(out.ids, 1);
        permute(out.xyxy, 4);
        permute(out.conf, 1);
        permute(out.class_ids, 1);
        permute(out.lines, 1);
    }
    out.sorted = out.other_lines.empty() && out.first_fault == 0;
    return out;
}

namespace {

constexpr double kExactScaled = 4503599627370496.0;  // 2^52

// Appends v, an integer below 2^63 in magnitude, in decimal.
void put_int(std::string& out, std::int64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// Appends k / 10^decimals with `decimals` digits after the point.
void put_fixed(std::string& out, std::int64_t k, int decimals) {
    if (k < 0) out.push_back('-');
    const std::uint64_t m = k < 0 ? static_cast<std::uint64_t>(-(k + 1)) + 1 : static_cast<std::uint64_t>(k);
    std::uint64_t scale = 1;
    for (int d = 0; d < decimals; ++d) scale *= 10;
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, m / scale);
    out.append(buf, r.ptr);
    out.push_back('.');
    std::uint64_t fraction = m % scale;
    char digits[8];
    for (int d = decimals - 1; d >= 0; --d) {
        digits[d] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    out.append(digits, static_cast<std::size_t>(decimals));
}

// rint(value * scale) as an integer; false when that is not finite and below 2^52.
bool scaled(double value, double scale, std::int64_t* k) {
    const double s = std::nearbyint(value * scale);
    if (!(std::fabs(s) < kExactScaled)) return false;
    *k = static_cast<std::int64_t>(s);
    return true;
}

}  // namespace

bool write_results_rows(std::size_t n, const std::int64_t* frames, const std::int64_t* ids, const double* xyxy,
                        const double* scores, std::string& out) {
    out.reserve(out.size() + n * 56);
    for (std::size_t r = 0; r < n; ++r) {
        const double* b = xyxy + 4 * r;
        // The box as the file holds it: left, top, then x2 - x1 and y2 - y1.
        const double box[4] = {b[0], b[1], b[2] - b[0], b[3] - b[1]};
        std::int64_t k[5];
        for (int c = 0; c < 4; ++c) {
            if (!scaled(box[c], 100.0, &k[c])) return false;
        }
        if (!scaled(scores[r], 10000.0, &k[4])) return false;
        put_int(out, frames[r]);
        out.push_back(',');
        put_int(out, ids[r]);
        for (int c = 0; c < 4; ++c) {
            out.push_back(',');
            put_fixed(out, k[c], 2);
        }
        out.push_back(',');
        put_fixed(out, k[4], 4);
        out.append(",-1,-1,-1\n");
    }
    return true;
}

}  // namespace kelmora::mot
