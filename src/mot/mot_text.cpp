// MOTChallenge text: the plain-number row reader and the results writer.
#include "mot/mot_text.hpp"

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

// Reads the token at data[*i] up to the next separator, moving *i past it. A plain decimal (an
// optional sign, digits with at most one point, at least one digit) gives true and its value:
// the correctly rounded double of the text, as Python's float() gives it. *elsewhere is set when
// the token holds a byte that makes Python see the file's lines or blanks otherwise.
inline bool read_token(const char* data, std::size_t end, std::size_t* i, double* value, bool* elsewhere) {
    std::size_t k = *i;
    bool negative = false;
    if (data[k] == '+' || data[k] == '-') {
        negative = data[k] == '-';
        ++k;
    }
    const std::size_t number = k;
    // The digits, with at most one point among them; past 19 digits the mantissa wraps and is not
    // used.
    std::uint64_t mantissa = 0;
    auto digit_run = [&]() {
        const std::size_t first = k;
        while (k < end && static_cast<unsigned char>(data[k] - '0') < 10) {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(data[k] - '0');
            ++k;
        }
        return k - first;
    };
    std::size_t digits = digit_run();
    std::size_t decimals = 0;
    if (k < end && data[k] == '.') {
        ++k;
        decimals = digit_run();
        digits += decimals;
    }
    if (k < end && !is_separator(kind_of(data[k]))) {
        // Not a plain decimal: the rest of the token, noting bytes that Python sees otherwise.
        for (; k < end; ++k) {
            const ByteKind kind = kind_of(data[k]);
            if (is_separator(kind)) break;
            *elsewhere = *elsewhere || seen_otherwise(kind);
        }
        *i = k;
        return false;
    }
    *i = k;
    if (digits == 0) return false;
    double magnitude;
    if (digits <= 19 && mantissa < kExactMantissa && decimals <= 22) {
        // Both integers are exact doubles and one division rounds their quotient correctly.
        magnitude = static_cast<double>(mantissa);
        if (decimals > 0) magnitude /= kExactPow10[decimals];
    } else {
        const auto result = std::from_chars(data + number, data + k, magnitude, std::chars_format::fixed);
        if (result.ec != std::errc() || result.ptr != data + k) return false;
    }
    // float("-x") is -float("x").
    *value = negative ? -magnitude : magnitude;
    return true;
}

}  // namespace

PlainRows read_plain_rows(const char* data, std::size_t size) {
    PlainRows out;
    out.values.reserve(size / 4);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double row[kMaxColumns];
    std::int64_t line = 0;
    // The row-by-row reader drops a leading UTF-8 byte order mark too.
    std::size_t begin = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    bool elsewhere = false;
    while (begin < size && !elsewhere) {
        const char* nl = static_cast<const char*>(std::memchr(data + begin, '\n', size - begin));
        const std::size_t end = nl ? static_cast<std::size_t>(nl - data) : size;
        ++line;
        std::size_t i = begin, count = 0;
        bool plain = true, comment = false, comma_before = false, comma_after = false;
        while (i < end) {
            const ByteKind kind = kind_of(data[i]);
            if (kind == kBlank) {
                elsewhere = elsewhere || lone_cr(data, i, end, nl != nullptr);
                ++i;
                continue;
            }
            if (kind == kComma) {
                (count == 0 ? comma_before : comma_after) = true;
                ++i;
                continue;
            }
            comma_after = false;
            if (count == 0 && !comma_before && data[i] == '#') {
                // Python skips the line whatever it holds, as long as it cuts it here too.
                comment = true;
                elsewhere = elsewhere || comment_breaks_line(data, i, end, nl != nullptr);
                break;
            }
            double value = 0.0;
            const bool read = read_token(data, end, &i, &value, &elsewhere);
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
            out.other_lines.push_back(line);
        } else {
            for (std::size_t k = count; k < kMaxColumns; ++k) row[k] = nan;
            out.values.insert(out.values.end(), row, row + kMaxColumns);
            out.columns.push_back(static_cast<std::int64_t>(count));
            out.lines.push_back(line);
        }
        begin = end + 1;
    }
    if (elsewhere) {
        out = PlainRows();
        out.whole_file_elsewhere = true;
    }
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
