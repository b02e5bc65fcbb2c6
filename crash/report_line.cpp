#include "crash/report_line.h"

namespace vexa::crash {
namespace {

// Appends to a fixed buffer, dropping whatever no longer fits.
class BoundedText {
public:
    BoundedText(char* out, std::size_t capacity) : out_(out), capacity_(capacity) {}
    void Put(char c) {
        if (length_ + 1 < capacity_) out_[length_++] = c;
    }
    void PutText(const char* text) {
        if (text == nullptr) return;
        while (*text != '\0' && length_ + 1 < capacity_) out_[length_++] = *text++;
    }
    // Upper-case hexadecimal, or decimal with base 10, padded with zeros.
    void PutNumber(std::uint64_t value, unsigned base, unsigned width) {
        char digits[24];
        unsigned count = 0;
        do {
            digits[count++] = "0123456789ABCDEF"[value % base];
            value /= base;
        } while (value != 0);
        for (unsigned pad = count; pad < width; ++pad) Put('0');
        while (count > 0) Put(digits[--count]);
    }
    std::size_t Finish() {
        if (capacity_ > 0) out_[length_] = '\0';
        return length_;
    }

private:
    char* out_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

}  // namespace

std::size_t FormatReportLine(char* out, const char* format, std::initializer_list<FormatArg> args) {
    BoundedText line(out, kLineCapacity);
    if (format == nullptr) return line.Finish();
    const FormatArg* next = args.begin();
    const FormatArg* const end = args.end();
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            line.Put(*p);
            continue;
        }
        const char* directive = p + 1;
        if (*directive == '%') {
            line.Put('%');
            p = directive;
            continue;
        }
        unsigned width = 0;
        const char* q = directive;
        if (*q == '0') ++q;
        // Widths beyond the line are meaningless; two digits are plenty.
        for (int digits = 0; digits < 2 && *q >= '0' && *q <= '9'; ++digits, ++q)
            width = width * 10 + static_cast<unsigned>(*q - '0');
        if (*q == 'X' || (*q == 's' && q == directive)) {
            if (next != end) {
                const FormatArg& arg = *next++;
                if (*q == 'X' && !arg.IsText()) line.PutNumber(arg.Number(), 16, width);
                if (*q == 's' && arg.IsText()) line.PutText(arg.Text());
            }
            p = q;
            continue;
        }
        // Not a directive this formatter knows: the "%" stands as written.
        line.Put('%');
    }
    return line.Finish();
}

void FormatReportTime(char* out, unsigned year, unsigned month, unsigned day, unsigned hour,
                      unsigned minute, unsigned second) {
    BoundedText time(out, kTimeTextCapacity);
    time.PutNumber(year, 10, 4);
    time.Put('-');
    time.PutNumber(month, 10, 2);
    time.Put('-');
    time.PutNumber(day, 10, 2);
    time.Put(',');
    time.PutNumber(hour, 10, 2);
    time.Put(':');
    time.PutNumber(minute, 10, 2);
    time.Put(':');
    time.PutNumber(second, 10, 2);
    time.Finish();
}

}  // namespace vexa::crash
