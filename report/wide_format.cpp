// The report's own wide formatter; see the header for the conversions it knows.
#include "wide_format.h"

#include <cstdint>

namespace {

// Writes characters into the caller's buffer as far as they fit and counts all of them.
class Sink {
  public:
    Sink(wchar_t* out, size_t capacity)
        : out_(capacity > 0 ? out : nullptr), room_(out_ != nullptr ? capacity - 1 : 0) {}

    void Put(wchar_t c) {
        if (count_ < room_) {
            out_[count_] = c;
        }
        ++count_;
    }
    void Repeat(wchar_t c, size_t times) {
        for (size_t i = 0; i < times; ++i) {
            Put(c);
        }
    }
    size_t Finish() {
        if (out_ != nullptr) {
            out_[count_ < room_ ? count_ : room_] = L'\0';
        }
        return count_;
    }

  private:
    wchar_t* out_;
    size_t room_;
    size_t count_ = 0;
};

struct Conversion {
    bool leftAlign = false;
    bool zeroPad = false;
    bool blank = false;
    bool plus = false;
    size_t width = 0;
};

void PadTo(Sink& sink, const Conversion& conversion, size_t length) {
    if (conversion.width > length) {
        sink.Repeat(L' ', conversion.width - length);
    }
}

template <class Char>
void PutString(Sink& sink, const Conversion& conversion, const Char* text) {
    static const char nullText[] = "(null)";
    size_t length = 0;
    if (text == nullptr) {
        length = sizeof nullText - 1;
    } else {
        while (text[length] != 0) {
            ++length;
        }
    }
    if (!conversion.leftAlign) {
        PadTo(sink, conversion, length);
    }
    for (size_t i = 0; i < length; ++i) {
        if (text == nullptr) {
            sink.Put(static_cast<wchar_t>(nullText[i]));
        } else if constexpr (sizeof(Char) == 1) {
            sink.Put(static_cast<wchar_t>(static_cast<unsigned char>(text[i])));  // byte = code
        } else {
            sink.Put(static_cast<wchar_t>(text[i]));
        }
    }
    if (conversion.leftAlign) {
        PadTo(sink, conversion, length);
    }
}

void PutNumber(Sink& sink, const Conversion& conversion, uint64_t magnitude, bool negative,
               unsigned base, bool upper) {
    wchar_t digits[24];
    size_t count = 0;
    const char* symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[count++] = static_cast<wchar_t>(symbols[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);
    wchar_t sign = negative ? L'-' : conversion.plus ? L'+' : conversion.blank ? L' ' : L'\0';
    size_t length = count + (sign != L'\0' ? 1 : 0);
    if (!conversion.leftAlign && !conversion.zeroPad) {
        PadTo(sink, conversion, length);
    }
    if (sign != L'\0') {
        sink.Put(sign);
    }
    if (!conversion.leftAlign && conversion.zeroPad && conversion.width > length) {
        sink.Repeat(L'0', conversion.width - length);
    }
    while (count > 0) {
        sink.Put(digits[--count]);
    }
    if (conversion.leftAlign) {
        PadTo(sink, conversion, length);
    }
}

enum class Width { Bits32, Bits64 };

// Reads a width from digits or '*' at `p`; advances past it. False when it exceeds
// MaxFormatWidth (a '*' of INT_MIN included), before any digit can overflow.
bool ReadWidth(const wchar_t*& p, va_list& args, Conversion& conversion) {
    if (*p == L'*') {
        ++p;
        const int width = va_arg(args, int);
        if (width < -static_cast<int>(MaxFormatWidth) || width > static_cast<int>(MaxFormatWidth)) {
            return false;
        }
        if (width < 0) {
            conversion.leftAlign = true;
        }
        conversion.width = static_cast<size_t>(width < 0 ? -width : width);
        return true;
    }
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        conversion.width = conversion.width * 10 + static_cast<size_t>(*p - L'0');
        if (conversion.width > MaxFormatWidth) {
            return false;
        }
    }
    return true;
}

// Reads the length modifier at `p`; advances past it.
Width ReadLength(const wchar_t*& p) {
    if (p[0] == L'l' && p[1] == L'l') {
        p += 2;
        return Width::Bits64;
    }
    if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
        p += 3;
        return Width::Bits64;
    }
    if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
        p += 3;
        return Width::Bits32;
    }
    if (p[0] == L'l' || p[0] == L'h') {
        ++p;  // 'l' is 32 bits on Windows; 'h' narrows nothing that matters here
    }
    return Width::Bits32;
}

}  // namespace

size_t FormatWide(wchar_t* out, size_t capacity, const wchar_t* format, va_list arguments) {
    Sink sink(out, capacity);
    va_list args;
    va_copy(args, arguments);
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%') {
            sink.Put(*p);
            continue;
        }
        const wchar_t* start = p++;
        if (*p == L'%') {
            sink.Put(L'%');
            continue;
        }
        Conversion conversion;
        for (;; ++p) {
            if (*p == L'-') {
                conversion.leftAlign = true;
            } else if (*p == L'0') {
                conversion.zeroPad = true;
            } else if (*p == L' ') {
                conversion.blank = true;
            } else if (*p == L'+') {
                conversion.plus = true;
            } else {
                break;
            }
        }
        if (!ReadWidth(p, args, conversion)) {
            va_end(args);
            sink.Finish();
            return FormatWideError;
        }
        bool wideMarker = false;
        if (*p == L'w' && p[1] == L's') {
            wideMarker = true;
            ++p;
        }
        Width width = wideMarker ? Width::Bits32 : ReadLength(p);
        switch (*p) {
            case L's':
                PutString(sink, conversion, va_arg(args, const wchar_t*));
                break;
            case L'S':
                PutString(sink, conversion, va_arg(args, const char*));
                break;
            case L'd':
            case L'i': {
                int64_t value = width == Width::Bits64 ? va_arg(args, long long)
                                                       : static_cast<int32_t>(va_arg(args, int));
                uint64_t magnitude =
                    value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
                PutNumber(sink, conversion, magnitude, value < 0, 10, false);
                break;
            }
            case L'u':
            case L'x':
            case L'X': {
                uint64_t value = width == Width::Bits64
                                     ? va_arg(args, unsigned long long)
                                     : static_cast<uint32_t>(va_arg(args, unsigned int));
                Conversion unsignedConversion = conversion;
                unsignedConversion.plus = unsignedConversion.blank = false;
                PutNumber(sink, unsignedConversion, value, false, *p == L'u' ? 10 : 16, *p == L'X');
                break;
            }
            default:
                // Not a conversion of this formatter: copy it as written.
                for (const wchar_t* q = start; q <= p && *q != L'\0'; ++q) {
                    sink.Put(*q);
                }
                if (*p == L'\0') {
                    --p;  // let the loop see the terminator
                }
                break;
        }
    }
    va_end(args);
    return sink.Finish();
}

size_t FormatWideArgs(wchar_t* out, size_t capacity, const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    size_t length = FormatWide(out, capacity, format, arguments);
    va_end(arguments);
    return length;
}

std::wstring FormatWideString(const wchar_t* format, va_list arguments) {
    va_list counting;
    va_copy(counting, arguments);
    const size_t length = FormatWide(nullptr, 0, format, counting);
    va_end(counting);
    if (length == FormatWideError) {
        return std::wstring();
    }
    std::wstring text(length + 1, L'\0');
    FormatWide(&text[0], text.size(), format, arguments);
    text.resize(length);
    return text;
}
