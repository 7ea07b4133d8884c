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

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1;
    enum Size { Default, Short, Long, LongLong, SizeT } size = Default;
};

void Pad(std::u16string& out, const std::u16string& body, const Spec& spec, char16_t fill = u' ') {
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    if (body.size() >= width) {
        out += body;
    } else if (spec.left) {
        out += body + std::u16string(width - body.size(), u' ');
    } else {
        out += std::u16string(width - body.size(), fill) + body;
    }
}

void FormatInteger(std::u16string& out, const Spec& spec, char conv, unsigned long long magnitude,
                   bool negative) {
    const char* digits = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    unsigned base = (conv == 'x' || conv == 'X' || conv == 'p') ? 16 : conv == 'o' ? 8 : 10;
    std::u16string num;
    for (unsigned long long v = magnitude; v; v /= base)
        num.insert(num.begin(), static_cast<char16_t>(digits[v % base]));
    size_t minDigits = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : 1;
    if (num.size() < minDigits)
        num.insert(0, minDigits - num.size(), u'0');
    std::u16string prefix;
    if (negative)
        prefix = u"-";
    else if ((conv == 'd' || conv == 'i') && spec.plus)
        prefix = u"+";
    else if ((conv == 'd' || conv == 'i') && spec.space)
        prefix = u" ";
    if (spec.alt && magnitude && base == 16 && conv != 'p')
        prefix += conv == 'X' ? u"0X" : u"0x";
    if (spec.alt && base == 8 && (num.empty() || num[0] != u'0'))
        num.insert(num.begin(), u'0');
    if (spec.zero && !spec.left && spec.precision < 0 &&
        static_cast<size_t>(spec.width) > prefix.size() + num.size())
        num.insert(0, spec.width - prefix.size() - num.size(), u'0');
    Pad(out, prefix + num, spec);
}

// Formats per the Microsoft wide printf rules; false for a conversion it does not know.
bool Format(std::u16string& out, const char16_t* fmt, va_list ap) {
    for (const char16_t* p = fmt; *p; ++p) {
        if (*p != u'%') {
            out += *p;
            continue;
        }
        ++p;
        Spec spec;
        for (;; ++p) {
            if (*p == u'-')
                spec.left = true;
            else if (*p == u'+')
                spec.plus = true;
            else if (*p == u' ')
                spec.space = true;
            else if (*p == u'#')
                spec.alt = true;
            else if (*p == u'0')
                spec.zero = true;
            else
                break;
        }
        if (*p == u'*') {
            spec.width = va_arg(ap, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = -spec.width;
            }
            ++p;
        } else {
            for (; *p >= u'0' && *p <= u'9'; ++p)
                spec.width = spec.width * 10 + (*p - u'0');
        }
        if (*p == u'.') {
            ++p;
            spec.precision = 0;
            if (*p == u'*') {
                spec.precision = va_arg(ap, int);
                ++p;
            } else {
                for (; *p >= u'0' && *p <= u'9'; ++p)
                    spec.precision = spec.precision * 10 + (*p - u'0');
            }
        }
        bool wide = false, narrow = false;
        if (*p == u'h') {
            spec.size = Spec::Short;
            narrow = true;
            ++p;
            if (*p == u'h')
                ++p;
        } else if (*p == u'l') {
            spec.size = Spec::Long;
            wide = true;
            ++p;
            if (*p == u'l') {
                spec.size = Spec::LongLong;
                ++p;
            }
        } else if (*p == u'w') {
            wide = true;
            ++p;
        } else if (*p == u'I') {
            if (p[1] == u'6' && p[2] == u'4') {
                spec.size = Spec::LongLong;
                p += 3;
            } else if (p[1] == u'3' && p[2] == u'2') {
                p += 3;
            } else {
                spec.size = Spec::SizeT;
                ++p;
            }
        } else if (*p == u'z' || *p == u'j' || *p == u't') {
            spec.size = *p == u'j' ? Spec::LongLong : Spec::SizeT;
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
            if (spec.size == Spec::LongLong)
                v = va_arg(ap, long long);
            else if (spec.size == Spec::SizeT)
                v = static_cast<long long>(va_arg(ap, intptr_t));
            else
                v = va_arg(ap, int);
            if (spec.size == Spec::Short)
                v = static_cast<short>(v);
            unsigned long long mag = v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                                           : static_cast<unsigned long long>(v);
            FormatInteger(out, spec, 'd', mag, v < 0);
            break;
        }
        case u'u':
        case u'x':
        case u'X':
        case u'o': {
            unsigned long long v;
            if (spec.size == Spec::LongLong)
                v = va_arg(ap, unsigned long long);
            else if (spec.size == Spec::SizeT)
                v = va_arg(ap, size_t);
            else
                v = va_arg(ap, unsigned);
            if (spec.size == Spec::Short)
                v = static_cast<unsigned short>(v);
            FormatInteger(out, spec, static_cast<char>(conv), v, false);
            break;
        }
        case u'p': {
            Spec ps = spec;
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
            Pad(out, std::u16string(1, ch), spec);
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
            if (spec.precision >= 0 && text.size() > static_cast<size_t>(spec.precision))
                text.resize(static_cast<size_t>(spec.precision));
            Pad(out, text, spec);
            break;
        }
        case u'e':
        case u'E':
        case u'f':
        case u'g':
        case u'G': {
            char cfmt[32];
            snprintf(cfmt, sizeof cfmt, "%%%s%s%s%s%s*.*%c", spec.left ? "-" : "",
                     spec.plus ? "+" : "", spec.space ? " " : "", spec.alt ? "#" : "",
                     spec.zero ? "0" : "", static_cast<char>(conv));
            char buf[512];
            snprintf(buf, sizeof buf, cfmt, spec.width, spec.precision < 0 ? 6 : spec.precision,
                     va_arg(ap, double));
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
