// Registry operations of the test machine, one per tab-separated line:
//   delkey KEY              delete KEY with everything below it
//   mkkey  KEY              create KEY
//   set    KEY NAME TYPE HEX   set a value to exactly these bytes
//   delvalue KEY NAME
//   prune  KEY KEEP...      delete every subkey of KEY not named in KEEP
//   dump   KEY              report KEY: whether it exists, its values and subkeys
// Results are JSON lines.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common.h"

namespace tools {

// RegSetValueExW on Wine adds a terminator to string data whose count leaves
// it out when the next character in memory happens to be NUL; a non-zero
// guard after the data keeps the stored bytes exactly the ones given.
inline LONG SetExactValue(HKEY key, const std::wstring& name, DWORD type,
                          const std::vector<BYTE>& data) {
    std::vector<BYTE> guarded(data);
    guarded.push_back('Q');
    guarded.push_back('Q');
    guarded.push_back('Q');
    return RegSetValueExW(key, name.c_str(), 0, type, guarded.data(),
                          static_cast<DWORD>(data.size()));
}

// The names of a key's subkeys, in the registry's order.
inline std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD name_len = 256;
        if (RegEnumKeyExW(key, i, name, &name_len, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return names;
        names.emplace_back(name, name_len);
    }
}

inline std::string DumpKey(const std::wstring& full) {
    HKEY root;
    std::wstring sub;
    if (!SplitKey(full, &root, &sub))
        return "{\"error\":\"bad key\",\"key\":" + JsonString(full) + "}";
    HKEY key;
    if (RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "{\"key\":" + JsonString(full) + ",\"exists\":false}";
    std::string out = "{\"key\":" + JsonString(full) + ",\"exists\":true,\"values\":[";
    const char* separator = "";
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD name_len = 16384;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, i, name, &name_len, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size + 2);
        name_len = 16384;
        DWORD got = size;
        if (RegEnumValueW(key, i, name, &name_len, nullptr, &type, data.data(), &got) !=
            ERROR_SUCCESS)
            continue;
        out += separator;
        separator = ",";
        out += "{\"name\":" + JsonString(std::wstring(name, name_len)) +
               ",\"type\":" + std::to_string(type) + ",\"hex\":\"" + Hex(data.data(), got) + "\"}";
    }
    out += "],\"subkeys\":[";
    separator = "";
    for (const std::wstring& name : SubkeyNames(key)) {
        out += separator;
        separator = ",";
        out += JsonString(name);
    }
    RegCloseKey(key);
    return out + "]}";
}

// Runs one operation line; returns a JSON line (empty for operations that
// report nothing on success).
inline std::string RunRegistryOp(const std::string& line) {
    std::vector<std::string> f = SplitTabs(line);
    if (f.empty() || f[0].empty())
        return std::string();
    const std::string& op = f[0];
    if (f.size() < 2)
        return "{\"error\":\"missing key\",\"op\":" + JsonString(Widen(op)) + "}";
    std::wstring full = Widen(f[1]);
    if (op == "dump")
        return DumpKey(full);
    HKEY root;
    std::wstring sub;
    if (!SplitKey(full, &root, &sub))
        return "{\"error\":\"bad key\",\"key\":" + JsonString(full) + "}";
    LONG rc = ERROR_INVALID_FUNCTION;
    if (op == "delkey") {
        rc = RegDeleteTreeW(root, sub.c_str());
        if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND)
            rc = RegDeleteKeyW(root, sub.c_str());
        if (rc == ERROR_FILE_NOT_FOUND)
            rc = ERROR_SUCCESS;
    } else if (op == "mkkey") {
        HKEY key;
        rc = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                             nullptr);
        if (rc == ERROR_SUCCESS)
            RegCloseKey(key);
    } else if (op == "set" && f.size() == 5) {
        std::vector<BYTE> data;
        if (!ParseHex(f[4], &data))
            return "{\"error\":\"bad hex\",\"key\":" + JsonString(full) + "}";
        HKEY key;
        rc = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                             nullptr);
        if (rc == ERROR_SUCCESS) {
            rc = SetExactValue(key, Widen(f[2]),
                               static_cast<DWORD>(strtoul(f[3].c_str(), nullptr, 0)), data);
            RegCloseKey(key);
        }
    } else if (op == "delvalue" && f.size() == 3) {
        HKEY key;
        rc = RegOpenKeyExW(root, sub.c_str(), 0, KEY_SET_VALUE, &key);
        if (rc == ERROR_SUCCESS) {
            rc = RegDeleteValueW(key, Widen(f[2]).c_str());
            RegCloseKey(key);
        }
        if (rc == ERROR_FILE_NOT_FOUND)
            rc = ERROR_SUCCESS;
    } else if (op == "prune") {
        HKEY key;
        rc = RegOpenKeyExW(root, sub.c_str(), 0, KEY_ALL_ACCESS, &key);
        if (rc == ERROR_SUCCESS) {
            // Names are listed first: deleting while enumerating would skip subkeys.
            for (const std::wstring& name : SubkeyNames(key)) {
                bool keep = false;
                for (size_t k = 2; k < f.size(); ++k)
                    keep = keep || _wcsicmp(Widen(f[k]).c_str(), name.c_str()) == 0;
                if (!keep) {
                    RegDeleteTreeW(key, name.c_str());
                    RegDeleteKeyW(key, name.c_str());
                }
            }
            RegCloseKey(key);
        }
    }
    if (rc == ERROR_SUCCESS)
        return std::string();
    return "{\"error\":\"registry\",\"op\":" + JsonString(Widen(op)) +
           ",\"key\":" + JsonString(full) + ",\"code\":" + std::to_string(rc) + "}";
}

} // namespace tools
