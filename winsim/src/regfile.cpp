// The hives on disk, in the text format that `reg import` reads: UTF-16LE with a BOM, CRLF
// lines, a section per key and one line per value. Strings are written as quoted text only
// when reading them back gives the very same bytes; everything else goes out as hex.
#include "state.h"

#include <cstring>

namespace winsim::detail {

namespace {

const char16_t kHeader[] = u"Windows Registry Editor Version 5.00";

std::u16string RootName(HKEY root) {
    return root == HKEY_LOCAL_MACHINE ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_USER";
}

std::u16string Escape(const std::u16string& s) {
    std::u16string out;
    for (char16_t c : s) {
        if (c == u'\\' || c == u'"')
            out += u'\\';
        out += c;
    }
    return out;
}

// True when the data is a REG_SZ that a quoted string reproduces exactly: whole UTF-16
// units, one terminating NUL and no other, nothing that would break the line.
bool QuotableString(const RegValueRec& v, std::u16string* text) {
    if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2)
        return false;
    size_t n = v.data.size() / 2;
    std::u16string s(n, u'\0');
    memcpy(&s[0], v.data.data(), v.data.size());
    if (s[n - 1] != 0)
        return false;
    s.pop_back();
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c < 0x20)
            return false;
        bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && !(i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF))
            return false;
        if (high)
            ++i;
        else if (low)
            return false;
    }
    *text = s;
    return true;
}

std::u16string Ascii(const char* s) {
    std::u16string out;
    while (*s)
        out += static_cast<char16_t>(*s++);
    return out;
}

void WriteValue(std::u16string& out, const RegValueRec& v) {
    std::u16string line = v.name.empty() ? u"@=" : u"\"" + Escape(v.name) + u"\"=";
    std::u16string text;
    char buf[16];
    if (QuotableString(v, &text)) {
        out += line + u"\"" + Escape(text) + u"\"\r\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (uint32_t(v.data[3]) << 24);
        snprintf(buf, sizeof buf, "dword:%08x", d);
        out += line + Ascii(buf) + u"\r\n";
        return;
    }
    if (v.type == REG_BINARY) {
        line += u"hex:";
    } else {
        snprintf(buf, sizeof buf, "hex(%x):", unsigned(v.type));
        line += Ascii(buf);
    }
    // Long data continues on indented lines ending in a backslash, as regedit wraps it.
    for (size_t i = 0; i < v.data.size(); ++i) {
        snprintf(buf, sizeof buf, "%02x", v.data[i]);
        line += Ascii(buf);
        if (i + 1 < v.data.size()) {
            line += u',';
            if (line.size() >= 76) {
                out += line + u"\\\r\n";
                line = u"  ";
            }
        }
    }
    out += line + u"\r\n";
}

void WriteKey(std::u16string& out, const RegKey& key, const std::u16string& path, bool root) {
    if (!root || !key.values.empty()) {
        out += u"[" + path + u"]\r\n";
        for (const auto& v : key.values)
            WriteValue(out, v);
        out += u"\r\n";
    }
    for (const auto& k : key.subkeys)
        WriteKey(out, *k, path + u"\\" + k->name, false);
}

// ---- Reading ----

struct Reader {
    std::vector<std::u16string> lines;
    size_t at = 0;
    std::string* error;

    bool Fail(const std::string& what) {
        if (error)
            *error = "line " + std::to_string(at) + ": " + what;
        return false;
    }
};

std::u16string Trim(const std::u16string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == u' ' || s[b] == u'\t'))
        ++b;
    while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t'))
        --e;
    return s.substr(b, e - b);
}

bool StartsWith(const std::u16string& s, const char16_t* prefix, size_t* len) {
    size_t n = std::char_traits<char16_t>::length(prefix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (Lower(s[i]) != prefix[i])
            return false;
    *len = n;
    return true;
}

// Reads a quoted string starting at s[i] == '"'; leaves i after the closing quote.
bool Unquote(const std::u16string& s, size_t& i, std::u16string* out) {
    ++i;
    out->clear();
    while (i < s.size()) {
        char16_t c = s[i++];
        if (c == u'"')
            return true;
        if (c == u'\\' && i < s.size())
            c = s[i++];
        *out += c;
    }
    return false;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

bool ParseHexBytes(const std::u16string& s, std::vector<uint8_t>* out) {
    out->clear();
    size_t i = 0;
    while (true) {
        while (i < s.size() && (s[i] == u' ' || s[i] == u'\t'))
            ++i;
        if (i >= s.size())
            return true;
        if (i + 1 >= s.size() || HexDigit(s[i]) < 0 || HexDigit(s[i + 1]) < 0)
            return false;
        out->push_back(static_cast<uint8_t>(HexDigit(s[i]) * 16 + HexDigit(s[i + 1])));
        i += 2;
        while (i < s.size() && (s[i] == u' ' || s[i] == u'\t'))
            ++i;
        if (i < s.size() && s[i] != u',')
            return false;
        ++i;
    }
}

bool ReadValue(Reader& r, const std::u16string& first, const std::shared_ptr<RegKey>& key) {
    std::u16string line = first;
    size_t i = 0;
    std::u16string name;
    if (line[0] == u'@') {
        i = 1;
    } else if (!Unquote(line, i, &name)) {
        return r.Fail("unterminated value name");
    }
    while (i < line.size() && line[i] == u' ')
        ++i;
    if (i >= line.size() || line[i] != u'=')
        return r.Fail("'=' expected after the value name");
    std::u16string rest = Trim(line.substr(i + 1));
    size_t n = 0;
    DWORD type;
    std::vector<uint8_t> data;
    if (rest == u"-") {
        if (key) {
            auto& values = key->values;
            for (size_t k = 0; k < values.size(); ++k)
                if (EqualNoCase(values[k].name, name)) {
                    values.erase(values.begin() + static_cast<std::ptrdiff_t>(k));
                    break;
                }
        }
        return true;
    }
    if (!rest.empty() && rest[0] == u'"') {
        size_t j = 0;
        std::u16string text;
        if (!Unquote(rest, j, &text) || !Trim(rest.substr(j)).empty())
            return r.Fail("malformed string value");
        type = REG_SZ;
        text += u'\0';
        data.resize(text.size() * 2);
        memcpy(data.data(), text.data(), data.size());
    } else if (StartsWith(rest, u"dword:", &n)) {
        std::u16string digits = rest.substr(n);
        if (digits.empty() || digits.size() > 8)
            return r.Fail("malformed dword value");
        uint32_t d = 0;
        for (char16_t c : digits) {
            if (HexDigit(c) < 0)
                return r.Fail("malformed dword value");
            d = d * 16 + static_cast<uint32_t>(HexDigit(c));
        }
        type = REG_DWORD;
        data = {uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)};
    } else if (StartsWith(rest, u"hex", &n)) {
        type = REG_BINARY;
        size_t j = n;
        if (j < rest.size() && rest[j] == u'(') {
            type = 0;
            ++j;
            size_t digits = 0;
            for (; j < rest.size() && HexDigit(rest[j]) >= 0; ++j, ++digits)
                type = type * 16 + static_cast<DWORD>(HexDigit(rest[j]));
            if (!digits || digits > 8 || j >= rest.size() || rest[j] != u')')
                return r.Fail("malformed hex type");
            ++j;
        }
        if (j >= rest.size() || rest[j] != u':')
            return r.Fail("':' expected after hex");
        std::u16string bytes = rest.substr(j + 1);
        while (!bytes.empty() && bytes.back() == u'\\') {
            bytes.pop_back();
            if (r.at >= r.lines.size())
                return r.Fail("continuation line missing");
            bytes += Trim(r.lines[r.at++]);
        }
        if (!ParseHexBytes(bytes, &data))
            return r.Fail("malformed hex data");
    } else {
        return r.Fail("unknown value form");
    }
    if (key)
        SetValue(*key, name, type, std::move(data));
    return true;
}

bool ReadSection(Reader& r, const std::u16string& line, std::shared_ptr<RegKey>* key) {
    size_t close = line.find_last_of(u']');
    if (close == std::u16string::npos || !Trim(line.substr(close + 1)).empty())
        return r.Fail("']' expected");
    std::u16string path = line.substr(1, close - 1);
    bool remove = !path.empty() && path[0] == u'-';
    if (remove)
        path = path.substr(1);
    size_t cut = path.find(u'\\');
    std::u16string rootName = path.substr(0, cut);
    std::u16string sub = cut == std::u16string::npos ? u"" : path.substr(cut + 1);
    HKEY root;
    if (EqualNoCase(rootName, u"HKEY_LOCAL_MACHINE") || EqualNoCase(rootName, u"HKLM"))
        root = HKEY_LOCAL_MACHINE;
    else if (EqualNoCase(rootName, u"HKEY_CURRENT_USER") || EqualNoCase(rootName, u"HKCU"))
        root = HKEY_CURRENT_USER;
    else
        return r.Fail("unknown root key " + Utf8(rootName));
    if (remove) {
        if (auto k = FindKey(RootKey(root), sub))
            RemoveKeyTree(k);
        key->reset();
        return true;
    }
    *key = MakeKey(RootKey(root), sub);
    if (!*key)
        return r.Fail("malformed key path");
    return true;
}

} // namespace

std::u16string ExportHiveUtf16(HKEY root) {
    std::u16string out = std::u16string(kHeader) + u"\r\n\r\n";
    WriteKey(out, *RootKey(root), RootName(root), true);
    return out;
}

std::string ExportHiveText(HKEY root) {
    return Utf8(ExportHiveUtf16(root));
}

bool ImportRegFile(const std::string& bytes, std::string* error) {
    std::u16string text;
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        text.resize((bytes.size() - 2) / 2);
        for (size_t i = 0; i < text.size(); ++i)
            text[i] =
                static_cast<char16_t>(uint8_t(bytes[2 + 2 * i]) | (uint8_t(bytes[3 + 2 * i]) << 8));
    } else {
        size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        text = Utf16(bytes.substr(skip));
    }
    Reader r;
    r.error = error;
    std::u16string cur;
    for (char16_t c : text) {
        if (c == u'\n') {
            if (!cur.empty() && cur.back() == u'\r')
                cur.pop_back();
            r.lines.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        r.lines.push_back(cur);

    bool header = false;
    bool inSection = false; // values after "[-key]" belong to a removed key and are skipped
    std::shared_ptr<RegKey> key;
    while (r.at < r.lines.size()) {
        std::u16string line = Trim(r.lines[r.at++]);
        if (line.empty() || line[0] == u';')
            continue;
        if (!header) {
            if (line != kHeader)
                return r.Fail("not a registry file (header missing)");
            header = true;
            continue;
        }
        if (line[0] == u'[') {
            if (!ReadSection(r, line, &key))
                return false;
            inSection = true;
        } else if (line[0] == u'"' || line[0] == u'@') {
            if (!inSection)
                return r.Fail("value outside a key section");
            if (!ReadValue(r, line, key))
                return false;
        } else {
            return r.Fail("unexpected text");
        }
    }
    if (!header && error)
        *error = "not a registry file (header missing)";
    return header;
}

} // namespace winsim::detail
