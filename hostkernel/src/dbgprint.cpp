// Debug print and Windows-style formatting.
//
// One formatter serves DbgPrint, the narrow _snprintf family and the wide
// swprintf family. Its specifiers are Windows': LLP64 sizes (%ld is 32-bit),
// %I64/%I32/%I sizes, %p as 16 upper-case hex digits, %Z/%wZ for counted
// strings, and string widths relative to the function (%s is narrow in a
// narrow function and wide in a wide one; %S is the other width; %hs is
// always narrow and %ws/%ls always wide).
#include <cstdio>
#include <cstring>
#include <string>

#include "ke_internal.h"

namespace {

template <class Char>
struct Sink {
    std::basic_string<Char> out;
    void narrow(const char* s, size_t n);
    void wide(const char16_t* s, size_t n);
    void ch(char c) { out.push_back((Char)(unsigned char)c); }
};

// Narrow output keeps bytes as they are; wide text is converted character by
// character (characters outside ASCII become '?', as the kernel's conversion
// to the ANSI code page would for anything it cannot map).
template <>
void Sink<char>::narrow(const char* s, size_t n) { out.append(s, n); }
template <>
void Sink<char>::wide(const char16_t* s, size_t n) {
    for (size_t i = 0; i < n; ++i) out.push_back(s[i] < 0x80 ? (char)s[i] : '?');
}
template <>
void Sink<char16_t>::narrow(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) out.push_back((char16_t)(unsigned char)s[i]);
}
template <>
void Sink<char16_t>::wide(const char16_t* s, size_t n) { out.append(s, n); }

size_t WLen(const char16_t* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

struct Conversion {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = -1;
    int precision = -1;
};

template <class Char>
void Pad(Sink<Char>& sink, int count, char c) {
    for (int i = 0; i < count; ++i) sink.ch(c);
}

template <class Char>
void EmitString(Sink<Char>& sink, const Conversion& sp, const char* n, const char16_t* w, size_t len) {
    if (sp.precision >= 0 && (size_t)sp.precision < len) len = (size_t)sp.precision;
    int pad = sp.width > (int)len ? sp.width - (int)len : 0;
    if (!sp.left) Pad(sink, pad, sp.zero ? '0' : ' ');
    if (n)
        sink.narrow(n, len);
    else
        sink.wide(w, len);
    if (sp.left) Pad(sink, pad, ' ');
}

template <class Char>
void EmitInteger(Sink<Char>& sink, const Conversion& sp, unsigned long long magnitude, bool negative,
                 int base, bool upper, bool is_signed) {
    char digits[72];
    int nd = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    unsigned long long v = magnitude;
    while (v) {
        digits[nd++] = set[v % (unsigned)base];
        v /= (unsigned)base;
    }
    int min_digits = sp.precision >= 0 ? sp.precision : 1;
    if (sp.precision == 0 && magnitude == 0) min_digits = 0;
    std::string body;
    for (int i = nd; i < min_digits; ++i) body += '0';
    for (int i = nd - 1; i >= 0; --i) body += digits[i];
    std::string prefix;
    if (is_signed) {
        if (negative)
            prefix = "-";
        else if (sp.plus)
            prefix = "+";
        else if (sp.space)
            prefix = " ";
    }
    if (sp.alt && magnitude != 0) {
        if (base == 16) prefix += upper ? "0X" : "0x";
        if (base == 8 && (body.empty() || body[0] != '0')) prefix += "0";
    }
    int len = (int)(prefix.size() + body.size());
    int pad = sp.width > len ? sp.width - len : 0;
    bool zero_pad = sp.zero && !sp.left && sp.precision < 0;
    if (!sp.left && !zero_pad) Pad(sink, pad, ' ');
    sink.narrow(prefix.data(), prefix.size());
    if (zero_pad) Pad(sink, pad, '0');
    sink.narrow(body.data(), body.size());
    if (sp.left) Pad(sink, pad, ' ');
}

enum class Size { Default, Char, Short, Long, LongLong, Ptr, LongDouble };

template <class Char>
std::basic_string<Char> Format(const Char* f, va_list ap) {
    const bool wide_fn = sizeof(Char) == 2;
    Sink<Char> sink;
    va_list args;
    va_copy(args, ap);
    while (*f) {
        if (*f != '%') {
            sink.out.push_back(*f++);
            continue;
        }
        const Char* start = f++;
        if (*f == '%') {
            sink.ch('%');
            ++f;
            continue;
        }
        Conversion sp;
        for (;; ++f) {
            if (*f == '-') sp.left = true;
            else if (*f == '+') sp.plus = true;
            else if (*f == ' ') sp.space = true;
            else if (*f == '#') sp.alt = true;
            else if (*f == '0') sp.zero = true;
            else break;
        }
        if (*f == '*') {
            sp.width = va_arg(args, int);
            if (sp.width < 0) {
                sp.left = true;
                sp.width = -sp.width;
            }
            ++f;
        } else if (*f >= '0' && *f <= '9') {
            sp.width = 0;
            while (*f >= '0' && *f <= '9') sp.width = sp.width * 10 + (*f++ - '0');
        }
        if (*f == '.') {
            ++f;
            sp.precision = 0;
            if (*f == '*') {
                sp.precision = va_arg(args, int);
                if (sp.precision < 0) sp.precision = -1;
                ++f;
            } else {
                while (*f >= '0' && *f <= '9') sp.precision = sp.precision * 10 + (*f++ - '0');
            }
        }
        Size size = Size::Default;
        int width_char = 0;  // -1 narrow (h), +1 wide (l/w) for characters and strings
        if (*f == 'h') {
            ++f;
            width_char = -1;
            size = Size::Short;
            if (*f == 'h') {
                ++f;
                size = Size::Char;
            }
        } else if (*f == 'l') {
            ++f;
            width_char = 1;
            size = Size::Long;
            if (*f == 'l') {
                ++f;
                size = Size::LongLong;
            }
        } else if (*f == 'w') {
            ++f;
            width_char = 1;
        } else if (*f == 'L') {
            ++f;
            size = Size::LongDouble;
        } else if (*f == 'I') {
            if (f[1] == '6' && f[2] == '4') {
                f += 3;
                size = Size::LongLong;
            } else if (f[1] == '3' && f[2] == '2') {
                f += 3;
                size = Size::Long;
            } else {
                ++f;
                size = Size::Ptr;
            }
        } else if (*f == 'z' || *f == 't' || *f == 'j') {
            ++f;
            size = Size::Ptr;
        }
        Char conv = *f;
        if (!conv) {
            // a lone '%' at the end: printed as it stands
            for (const Char* p = start; p < f; ++p) sink.out.push_back(*p);
            break;
        }
        ++f;
        switch (conv) {
            case 'd':
            case 'i': {
                long long val;
                if (size == Size::LongLong || size == Size::Ptr) val = va_arg(args, long long);
                else if (size == Size::Short) val = (short)va_arg(args, int);
                else if (size == Size::Char) val = (signed char)va_arg(args, int);
                else val = va_arg(args, int);
                unsigned long long mag = val < 0 ? 0ull - (unsigned long long)val : (unsigned long long)val;
                EmitInteger(sink, sp, mag, val < 0, 10, false, true);
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                unsigned long long val;
                if (size == Size::LongLong || size == Size::Ptr) val = va_arg(args, unsigned long long);
                else if (size == Size::Short) val = (unsigned short)va_arg(args, unsigned);
                else if (size == Size::Char) val = (unsigned char)va_arg(args, unsigned);
                else val = va_arg(args, unsigned);
                int base = conv == 'u' ? 10 : conv == 'o' ? 8 : 16;
                EmitInteger(sink, sp, val, false, base, conv == 'X', false);
                break;
            }
            case 'p': {
                void* p = va_arg(args, void*);
                Conversion ps;
                ps.precision = 16;
                ps.width = sp.width;
                ps.left = sp.left;
                EmitInteger(sink, ps, (unsigned long long)(uintptr_t)p, false, 16, true, false);
                break;
            }
            case 'c':
            case 'C': {
                int v = va_arg(args, int);
                bool wide_char = conv == 'C' ? !wide_fn : wide_fn;
                if (width_char == 1) wide_char = true;
                if (width_char == -1) wide_char = false;
                if (wide_char) {
                    char16_t c = (char16_t)v;
                    EmitString(sink, Conversion{sp.left, false, false, false, false, sp.width, -1}, nullptr, &c, 1);
                } else {
                    char c = (char)v;
                    EmitString(sink, Conversion{sp.left, false, false, false, false, sp.width, -1}, &c, nullptr, 1);
                }
                break;
            }
            case 's':
            case 'S': {
                bool wide_str = conv == 'S' ? !wide_fn : wide_fn;
                if (width_char == 1) wide_str = true;
                if (width_char == -1) wide_str = false;
                if (wide_str) {
                    const char16_t* s = va_arg(args, const char16_t*);
                    if (!s) EmitString(sink, sp, "(null)", nullptr, 6);
                    else EmitString(sink, sp, nullptr, s, sp.precision >= 0 ? [&] {
                        size_t n = 0;
                        while (n < (size_t)sp.precision && s[n]) ++n;
                        return n;
                    }() : WLen(s));
                } else {
                    const char* s = va_arg(args, const char*);
                    if (!s) s = "(null)";
                    size_t n = sp.precision >= 0 ? strnlen(s, (size_t)sp.precision) : std::strlen(s);
                    EmitString(sink, sp, s, nullptr, n);
                }
                break;
            }
            case 'Z': {
                if (width_char == 1) {
                    const UNICODE_STRING* u = va_arg(args, const UNICODE_STRING*);
                    if (!u || !u->Buffer) EmitString(sink, sp, "(null)", nullptr, 6);
                    else EmitString(sink, sp, nullptr, u->Buffer, u->Length / 2);
                } else {
                    const ANSI_STRING* a = va_arg(args, const ANSI_STRING*);
                    if (!a || !a->Buffer) EmitString(sink, sp, "(null)", nullptr, 6);
                    else EmitString(sink, sp, a->Buffer, nullptr, a->Length);
                }
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                double d = size == Size::LongDouble ? (double)va_arg(args, long double) : va_arg(args, double);
                std::string conversion = "%";
                if (sp.left) conversion += '-';
                if (sp.plus) conversion += '+';
                if (sp.space) conversion += ' ';
                if (sp.alt) conversion += '#';
                if (sp.zero) conversion += '0';
                if (sp.width >= 0) conversion += std::to_string(sp.width);
                if (sp.precision >= 0) conversion += "." + std::to_string(sp.precision);
                conversion += (char)conv;
                char buf[512];
                int n = std::snprintf(buf, sizeof buf, conversion.c_str(), d);
                if (n > 0) sink.narrow(buf, std::min((size_t)n, sizeof buf - 1));
                break;
            }
            case 'n':
                // %n is disabled in the kernel's CRT; the argument is consumed, nothing written
                (void)va_arg(args, void*);
                break;
            default:
                // unknown conversion: the character itself is printed
                sink.out.push_back(conv);
                break;
        }
    }
    va_end(args);
    return sink.out;
}

// DbgPrint's buffer on Windows holds 512 bytes; longer messages are cut.
constexpr size_t kDbgPrintMax = 512;

ULONG Log(std::string text) {
    if (text.size() > kDbgPrintMax) text.resize(kDbgPrintMax);
    hk::Machine::Impl* m = hk::detail::TryM();
    if (!m) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        return STATUS_SUCCESS;
    }
    if (m->opt.echo_debug_log) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    if (m->opt.debug_sink) m->opt.debug_sink(text);
    std::lock_guard<std::mutex> g(m->diag);
    m->debug_log.push_back(std::move(text));
    return STATUS_SUCCESS;
}

}  // namespace

namespace hk::detail {
std::string FormatNarrow(const char* format, va_list args) { return Format<char>(format, args); }
std::u16string FormatWide(const char16_t* format, va_list args) { return Format<char16_t>(format, args); }
}  // namespace hk::detail

EXTERN_C ULONG __cdecl DbgPrint(PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    std::string s = Format ? hk::detail::FormatNarrow(Format, ap) : std::string();
    va_end(ap);
    return Log(std::move(s));
}

EXTERN_C ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
    return Log(Format ? hk::detail::FormatNarrow(Format, arglist) : std::string());
}

EXTERN_C ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    ULONG r = vDbgPrintEx(ComponentId, Level, Format, ap);
    va_end(ap);
    return r;
}

// A failed assertion reports and execution continues, as in a checked kernel
// with the debugger choosing "ignore".
EXTERN_C void NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
    hk::AssertionRecord r{FailedAssertion ? (const char*)FailedAssertion : "",
                          FileName ? (const char*)FileName : "", LineNumber,
                          Message ? (const char*)Message : ""};
    std::string text = "\n*** Assertion failed: " + r.message + (r.message.empty() ? "" : " ") +
                       r.expression + "\n***   Source File: " + r.file + ", line " +
                       std::to_string(LineNumber) + "\n\n";
    Log(text);
    if (hk::Machine::Impl* m = hk::detail::TryM()) {
        std::lock_guard<std::mutex> g(m->diag);
        m->assertions.push_back(std::move(r));
    }
}

namespace {
template <class Char>
int CopyOut(const std::basic_string<Char>& s, Char* buffer, size_t count) {
    // the Microsoft "_snprintf" contract: NUL only when there is room, -1 on truncation
    if (s.size() < count) {
        std::memcpy(buffer, s.data(), s.size() * sizeof(Char));
        buffer[s.size()] = 0;
        return (int)s.size();
    }
    std::memcpy(buffer, s.data(), count * sizeof(Char));
    return s.size() == count ? (int)s.size() : -1;
}
}  // namespace

int __cdecl _vsnprintf(char* Buffer, SIZE_T Count, const char* Format, va_list Args) {
    return CopyOut(hk::detail::FormatNarrow(Format, Args), Buffer, Count);
}

int __cdecl _snprintf(char* Buffer, SIZE_T Count, const char* Format, ...) {
    va_list ap;
    va_start(ap, Format);
    int r = _vsnprintf(Buffer, Count, Format, ap);
    va_end(ap);
    return r;
}

int __cdecl _vsnwprintf(WCHAR* Buffer, SIZE_T Count, const WCHAR* Format, va_list Args) {
    return CopyOut(hk::detail::FormatWide(Format, Args), Buffer, Count);
}

int __cdecl _snwprintf(WCHAR* Buffer, SIZE_T Count, const WCHAR* Format, ...) {
    va_list ap;
    va_start(ap, Format);
    int r = _vsnwprintf(Buffer, Count, Format, ap);
    va_end(ap);
    return r;
}

// The old unbounded form the kernel exports: the caller vouches for the room.
int __cdecl swprintf(WCHAR* Buffer, const WCHAR* Format, ...) {
    va_list ap;
    va_start(ap, Format);
    std::u16string s = hk::detail::FormatWide(Format, ap);
    va_end(ap);
    std::memcpy(Buffer, s.data(), s.size() * sizeof(WCHAR));
    Buffer[s.size()] = 0;
    return (int)s.size();
}

// The secure form: output that does not fit (with its NUL) leaves an empty
// string and returns -1, and nothing is written past SizeInWords.
int __cdecl swprintf_s(WCHAR* Buffer, SIZE_T SizeInWords, const WCHAR* Format, ...) {
    va_list ap;
    va_start(ap, Format);
    std::u16string s = hk::detail::FormatWide(Format, ap);
    va_end(ap);
    if (!Buffer || SizeInWords == 0) return -1;
    if (s.size() >= SizeInWords) {
        Buffer[0] = 0;
        return -1;
    }
    std::memcpy(Buffer, s.data(), s.size() * sizeof(WCHAR));
    Buffer[s.size()] = 0;
    return (int)s.size();
}
