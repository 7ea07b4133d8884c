// Bounded string functions with strsafe's documented results, and the Microsoft wide printf
// conventions (%s is a wide string, %hs/%S a narrow one, %c a wide character).
#include "state.h"

#include <strsafe.h>

#include <cstdarg>
#include <cstring>

using namespace winsim;
using namespace winsim::detail;

namespace {

bool BadCount(size_t cch) {
    return cch == 0 || cch > STRSAFE_MAX_CCH;
}

// Copies as much as fits, always terminating; reports whether all of it fitted.
HRESULT CopyBounded(LPWSTR dest, size_t cch, const char16_t* src, size_t len) {
    size_t n = len < cch ? len : cch - 1;
    memmove(dest, src, n * sizeof(WCHAR));
    dest[n] = 0;
    return n == len ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}

struct Conversion {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1;
    enum Size { Default, Short, Long, LongLong, SizeT } size = Default;
};

void Pad(std::u16string& out, const std::u16string& body, const Conversion& conversion,
         char16_t fill = u' ') {
    size_t width = conversion.width > 0 ? static_cast<size_t>(conversion.width) : 0;
    if (body.size() >= width) {
        out += body;
    } else if (conversion.left) {
        out += body + std::u16string(width - body.size(), u' ');
    } else {
        out += std::u16string(width - body.size(), fill) + body;
    }
}

void FormatInteger(std::u16string& out, const Conversion& conversion, char conv,
                   unsigned long long magnitude, bool negative) {
    const char* digits = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    unsigned base = (conv == 'x' || conv == 'X' || conv == 'p') ? 16 : conv == 'o' ? 8 : 10;
    std::u16string num;
    for (unsigned long long v = magnitude; v; v /= base)
        num.insert(num.begin(), static_cast<char16_t>(digits[v % base]));
    size_t minDigits = conversion.precision >= 0 ? static_cast<size_t>(conversion.precision) : 1;
    if (num.size() < minDigits)
        num.insert(0, minDigits - num.size(), u'0');
    std::u16string prefix;
    if (negative)
        prefix = u"-";
    else if ((conv == 'd' || conv == 'i') && conversion.plus)
        prefix = u"+";
    else if ((conv == 'd' || conv == 'i') && conversion.space)
        prefix = u" ";
    if (conversion.alt && magnitude && base == 16 && conv != 'p')
        prefix += conv == 'X' ? u"0X" : u"0x";
    if (conversion.alt && base == 8 && (num.empty() || num[0] != u'0'))
        num.insert(num.begin(), u'0');
    if (conversion.zero && !conversion.left && conversion.precision < 0 &&
        static_cast<size_t>(conversion.width) > prefix.size() + num.size())
        num.insert(0, conversion.width - prefix.size() - num.size(), u'0');
    Pad(out, prefix + num, conversion);
}

// Formats per the Microsoft wide printf rules; false for a conversion it does not know.
bool Format(std::u16string& out, const char16_t* fmt, va_list ap) {
    for (const char16_t* p = fmt; *p; ++p) {
        if (*p != u'%') {
            out += *p;
            continue;
        }
        ++p;
        Conversion conversion;
        for (;; ++p) {
            if (*p == u'-')
                conversion.left = true;
            else if (*p == u'+')
                conversion.plus = true;
            else if (*p == u' ')
                conversion.space = true;
            else if (*p == u'#')
                conversion.alt = true;
            else if (*p == u'0')
                conversion.zero = true;
            else
                break;
        }
        if (*p == u'*') {
            conversion.width = va_arg(ap, int);
            if (conversion.width < 0) {
                conversion.left = true;
                conversion.width = -conversion.width;
            }
            ++p;
        } else {
            for (; *p >= u'0' && *p <= u'9'; ++p)
                conversion.width = conversion.width * 10 + (*p - u'0');
        }
        if (*p == u'.') {
            ++p;
            conversion.precision = 0;
            if (*p == u'*') {
                conversion.precision = va_arg(ap, int);
                ++p;
            } else {
                for (; *p >= u'0' && *p <= u'9'; ++p)
                    conversion.precision = conversion.precision * 10 + (*p - u'0');
            }
        }
        bool wide = false, narrow = false;
        if (*p == u'h') {
            conversion.size = Conversion::Short;
            narrow = true;
            ++p;
            if (*p == u'h')
                ++p;
        } else if (*p == u'l') {
            conversion.size = Conversion::Long;
            wide = true;
            ++p;
            if (*p == u'l') {
                conversion.size = Conversion::LongLong;
                ++p;
            }
        } else if (*p == u'w') {
            wide = true;
            ++p;
        } else if (*p == u'I') {
            if (p[1] == u'6' && p[2] == u'4') {
                conversion.size = Conversion::LongLong;
                p += 3;
            } else if (p[1] == u'3' && p[2] == u'2') {
                p += 3;
            } else {
                conversion.size = Conversion::SizeT;
                ++p;
            }
        } else if (*p == u'z' || *p == u'j' || *p == u't') {
            conversion.size = *p == u'j' ? Conversion::LongLong : Conversion::SizeT;
            ++p;
        }
        char16_t conv = *p;
        switch (conv) {
        case u'%':
            out += u'%';
            break;
        case u'd':
        case u'i': {
            long long v;
            // LONG is 32 bits on Windows, so %ld reads an int.
            if (conversion.size == Conversion::LongLong)
                v = va_arg(ap, long long);
            else if (conversion.size == Conversion::SizeT)
                v = static_cast<long long>(va_arg(ap, intptr_t));
            else
                v = va_arg(ap, int);
            if (conversion.size == Conversion::Short)
                v = static_cast<short>(v);
            unsigned long long mag = v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                                           : static_cast<unsigned long long>(v);
            FormatInteger(out, conversion, 'd', mag, v < 0);
            break;
        }
        case u'u':
        case u'x':
        case u'X':
        case u'o': {
            unsigned long long v;
            if (conversion.size == Conversion::LongLong)
                v = va_arg(ap, unsigned long long);
            else if (conversion.size == Conversion::SizeT)
                v = va_arg(ap, size_t);
            else
                v = va_arg(ap, unsigned);
            if (conversion.size == Conversion::Short)
                v = static_cast<unsigned short>(v);
            FormatInteger(out, conversion, static_cast<char>(conv), v, false);
            break;
        }
        case u'p': {
            Conversion ps = conversion;
            ps.precision = static_cast<int>(sizeof(void*) * 2);
            FormatInteger(out, ps, 'X', reinterpret_cast<uintptr_t>(va_arg(ap, void*)), false);
            break;
        }
        case u'c':
        case u'C': {
            int c = va_arg(ap, int);
            bool narrowChar = conv == u'C' ? !wide : narrow;
            char16_t ch = narrowChar ? static_cast<char16_t>(static_cast<unsigned char>(c))
                                     : static_cast<char16_t>(c);
            Pad(out, std::u16string(1, ch), conversion);
            break;
        }
        case u's':
        case u'S': {
            bool narrowText = conv == u'S' ? !wide : narrow;
            std::u16string text;
            if (narrowText) {
                const char* s = va_arg(ap, const char*);
                text = s ? Utf16(s) : u"(null)";
            } else {
                const WCHAR* s = va_arg(ap, const WCHAR*);
                text = s ? Str(s) : u"(null)";
            }
            if (conversion.precision >= 0 &&
                text.size() > static_cast<size_t>(conversion.precision))
                text.resize(static_cast<size_t>(conversion.precision));
            Pad(out, text, conversion);
            break;
        }
        case u'e':
        case u'E':
        case u'f':
        case u'g':
        case u'G': {
            char cfmt[32];
            snprintf(cfmt, sizeof cfmt, "%%%s%s%s%s%s*.*%c", conversion.left ? "-" : "",
                     conversion.plus ? "+" : "", conversion.space ? " " : "",
                     conversion.alt ? "#" : "", conversion.zero ? "0" : "",
                     static_cast<char>(conv));
            char buf[512];
            snprintf(buf, sizeof buf, cfmt, conversion.width,
                     conversion.precision < 0 ? 6 : conversion.precision, va_arg(ap, double));
            out += Utf16(buf);
            break;
        }
        default:
            return false; // includes %n, which the CRT refuses too
        }
    }
    return true;
}

} // namespace

extern "C" {

HRESULT StringCchCopyW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc) {
    if (BadCount(cchDest) || !pszDest)
        return STRSAFE_E_INVALID_PARAMETER;
    return CopyBounded(pszDest, cchDest, pszSrc ? pszSrc : u"", Length(pszSrc));
}

HRESULT StringCchCatW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc) {
    if (BadCount(cchDest) || !pszDest)
        return STRSAFE_E_INVALID_PARAMETER;
    size_t used = 0;
    while (used < cchDest && pszDest[used])
        ++used;
    if (used == cchDest) // the destination is not terminated within its size
        return STRSAFE_E_INVALID_PARAMETER;
    return CopyBounded(pszDest + used, cchDest - used, pszSrc ? pszSrc : u"", Length(pszSrc));
}

HRESULT StringCchLengthW(LPCWSTR psz, size_t cchMax, size_t* pcchLength) {
    if (!psz || cchMax > STRSAFE_MAX_CCH) {
        if (pcchLength)
            *pcchLength = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t n = 0;
    while (n < cchMax && psz[n])
        ++n;
    if (n == cchMax) {
        if (pcchLength)
            *pcchLength = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (pcchLength)
        *pcchLength = n;
    return S_OK;
}

HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...) {
    if (BadCount(cchDest) || !pszDest)
        return STRSAFE_E_INVALID_PARAMETER;
    if (!pszFormat) {
        pszDest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    std::u16string out;
    va_list ap;
    va_start(ap, pszFormat);
    bool ok = Format(out, pszFormat, ap);
    va_end(ap);
    if (!ok) {
        pszDest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    return CopyBounded(pszDest, cchDest, out.data(), out.size());
}

} // extern "C"
