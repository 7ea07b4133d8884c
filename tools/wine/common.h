// Small helpers shared by the test-machine tools: UTF-8 files of lines,
// wide/UTF-8 conversion, JSON text, hex bytes, registry roots.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tools {

inline std::wstring Widen(const std::string& text) {
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

inline std::string Narrow(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

inline bool ReadWholeFile(const std::wstring& path, std::string* out) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    out->clear();
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        out->append(buffer, got);
    CloseHandle(f);
    return true;
}

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

inline std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t end = line.find('\t', start);
        if (end == std::string::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
}

// JSON string literal (quotes included) for UTF-16 text; non-ASCII is written
// as \uXXXX so the file stays plain ASCII whatever the text holds.
inline std::string JsonString(const std::wstring& text) {
    std::string out = "\"";
    char esc[8];
    for (wchar_t c : text) {
        if (c == L'"') {
            out += "\\\"";
        } else if (c == L'\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            snprintf(esc, sizeof(esc), "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

inline std::string Hex(const BYTE* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

inline bool ParseHex(const std::string& text, std::vector<BYTE>* out) {
    out->clear();
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (size_t k = i; k < i + 2; ++k) {
            char c = text[k];
            int d = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
            if (d < 0)
                return false;
            value = value * 16 + d;
        }
        out->push_back(static_cast<BYTE>(value));
    }
    return true;
}

// "HKLM\Software\x" -> root handle and "Software\x".
inline bool SplitKey(const std::wstring& full, HKEY* root, std::wstring* sub) {
    size_t slash = full.find(L'\\');
    std::wstring head = full.substr(0, slash);
    *sub = slash == std::wstring::npos ? std::wstring() : full.substr(slash + 1);
    if (_wcsicmp(head.c_str(), L"HKLM") == 0 ||
        _wcsicmp(head.c_str(), L"HKEY_LOCAL_MACHINE") == 0) {
        *root = HKEY_LOCAL_MACHINE;
    } else if (_wcsicmp(head.c_str(), L"HKCU") == 0 ||
               _wcsicmp(head.c_str(), L"HKEY_CURRENT_USER") == 0) {
        *root = HKEY_CURRENT_USER;
    } else {
        return false;
    }
    return true;
}

class OutFile {
  public:
    explicit OutFile(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              0, nullptr)) {}
    ~OutFile() {
        if (ok())
            CloseHandle(handle_);
    }
    OutFile(const OutFile&) = delete;
    OutFile& operator=(const OutFile&) = delete;
    bool ok() const {
        return handle_ != INVALID_HANDLE_VALUE;
    }
    void Line(const std::string& text) {
        if (!ok())
            return;
        DWORD written = 0;
        std::string line = text + "\n";
        WriteFile(handle_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }

  private:
    HANDLE handle_;
};

} // namespace tools
