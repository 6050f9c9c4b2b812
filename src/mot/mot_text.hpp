// MOTChallenge text at array speed: rows of plain decimal numbers read, results rows written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace kelmora::mot {

// Values per row of a MOTChallenge file: frame, id, box (4), then up to four more.
inline constexpr std::size_t kMaxColumns = 10;
inline constexpr std::size_t kMinColumns = 6;

// The rows that read_plain_rows took, and the lines it left to a row-by-row reader.
struct PlainRows {
    bool whole_file_elsewhere = false;      // nothing read: the whole file goes to the other reader
    std::vector<double> values;             // kMaxColumns per row, NaN past a row's last value
    std::vector<std::int64_t> columns;      // values in each row, kMinColumns to kMaxColumns
    std::vector<std::int64_t> lines;        // 1-based line of each row
    std::vector<std::int64_t> other_lines;  // 1-based data lines left to the other reader
};

// Reads the lines of `data` that hold 6 to 10 plain decimal numbers (an optional sign, digits
// with at most one point), separated by commas or blanks; a leading UTF-8 byte order mark,
// blank lines and comments ('#' first, then any bytes) are skipped. Each value is the correctly
// rounded double of its text, as Python's float() gives. Every other line with content goes to
// other_lines: a number in another form, a malformed row, a comma before the first or after the
// last value (which a reader that strips commas first cuts differently). A file whose lines or
// blanks Python would see otherwise is left whole to the other reader: one with a byte outside
// ASCII in a line that is not a comment, or anywhere a character other than LF (and CR LF) that
// str.splitlines ends a line at (CR, VT, FF, 0x1C to 0x1E, NEL, LS, PS).
PlainRows read_plain_rows(const char* data, std::size_t size);

// The kinds of MOTChallenge file, by what follows the box.
enum class FileKind { kDetections, kGroundTruth, kResults };

// The class of a ground-truth or results row without one, or whose eighth value is not a finite
// number (or is beyond 2^62 in magnitude).
inline constexpr std::int64_t kNoClass = std::numeric_limits<std::int64_t>::min();

// The rows of read_plain_rows as the columns of a file of `kind`: frames and ids as whole
// numbers, corner boxes (left, top, left + width, top + height), the seventh value (1 where a
// row has none), and the class (detections: the eighth value, -1 for none or a negative one;
// ground truth: the eighth value truncated, kNoClass for none; results: the same, 1 for none).
struct MotRows {
    bool whole_file_elsewhere = false;  // nothing read: the whole file goes to the other reader
    std::vector<std::int64_t> frames, ids;
    std::vector<double> xyxy;  // 4 per row
    std::vector<double> conf;
    std::vector<std::int64_t> class_ids, lines, other_lines;
    // The line of the first row that breaks one of the row-by-row reader's rules (frame a whole
    // number from 1 to max_frame, id a whole 32-bit number, finite box corners, width and height
    // at least 0; for detections a finite score and a whole class below 2^31), 0 if none.
    std::int64_t first_fault = 0;
    bool sorted = false;  // rows sorted stably by frame: true unless other lines or a fault remain
};

// Reads `data` as read_plain_rows does and gives its rows as the columns of a file of `kind`.
// `max_frame` must be at most 2^62.
MotRows read_mot_rows(const char* data, std::size_t size, FileKind kind, double max_frame);

// Appends MOTChallenge results rows "frame,id,left,top,width,height,score,-1,-1,-1\n" for
// corner boxes `xyxy` (n x 4): the box as left, top, x2 - x1, y2 - y1 with 2 decimals and the
// score with 4, each the integer rint(value * 10^decimals) written out, which is what
// Python's formatting of NumPy's round(value, decimals) shows. Returns false, with `out`
// unspecified, when a scaled value is not a finite number below 2^52 in magnitude.
bool write_results_rows(std::size_t n, const std::int64_t* frames, const std::int64_t* ids, const double* xyxy,
                        const double* scores, std::string& out);

}  // namespace kelmora::mot
