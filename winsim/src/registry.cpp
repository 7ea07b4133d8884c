// The registry: two hives of keys and typed values, names without regard to case, values
// kept as the exact bytes written, handles with the access they were opened for.
#include "state.h"

#include <cstring>

namespace winsim {
namespace detail {

namespace {

// Splits a subkey path. A single trailing backslash is tolerated; a leading one or an empty
// component in the middle makes the path malformed.
bool SplitKeyPath(const std::u16string& path, std::vector<std::u16string>* parts) {
    parts->clear();
    if (path.empty())
        return true;
    std::u16string cur;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == u'\\') {
            if (cur.empty())
                return false;
            parts->push_back(cur);
            cur.clear();
        } else {
            cur += path[i];
        }
    }
    if (!cur.empty())
        parts->push_back(cur);
    return true;
}

std::shared_ptr<RegKey> Child(const RegKey& key, const std::u16string& name) {
    for (const auto& k : key.subkeys)
        if (EqualNoCase(k->name, name))
            return k;
    return nullptr;
}

bool IsPredefined(HKEY h) {
    return h == HKEY_LOCAL_MACHINE || h == HKEY_CURRENT_USER;
}

// Finds the key and access behind a handle.
LSTATUS Lookup(HKEY h, KeyHandle* out) {
    if (IsPredefined(h)) {
        *out = {RootKey(h), KEY_ALL_ACCESS};
        return ERROR_SUCCESS;
    }
    auto it = S().keyHandles.find(reinterpret_cast<uintptr_t>(h));
    if (it == S().keyHandles.end())
        return ERROR_INVALID_HANDLE;
    if (it->second.key->deleted)
        return ERROR_KEY_DELETED;
    *out = it->second;
    return ERROR_SUCCESS;
}

HKEY NewHandle(const std::shared_ptr<RegKey>& key, REGSAM access) {
    uintptr_t value = S().nextHandle;
    S().nextHandle += 4;
    S().keyHandles[value] = {key, access};
    return reinterpret_cast<HKEY>(value);
}

void MarkDeleted(RegKey& key) {
    key.deleted = true;
    for (auto& k : key.subkeys)
        MarkDeleted(*k);
}

} // namespace

std::shared_ptr<RegKey> RootKey(HKEY root) {
    if (root == HKEY_LOCAL_MACHINE)
        return S().hklm;
    if (root == HKEY_CURRENT_USER)
        return S().hkcu;
    return nullptr;
}

std::shared_ptr<RegKey> FindKey(const std::shared_ptr<RegKey>& from, const std::u16string& path) {
    std::vector<std::u16string> parts;
    if (!from || !SplitKeyPath(path, &parts))
        return nullptr;
    std::shared_ptr<RegKey> key = from;
    for (const auto& p : parts) {
        key = Child(*key, p);
        if (!key)
            return nullptr;
    }
    return key;
}

std::shared_ptr<RegKey> MakeKey(const std::shared_ptr<RegKey>& from, const std::u16string& path,
                                bool* created) {
    std::vector<std::u16string> parts;
    if (created)
        *created = false;
    if (!from || !SplitKeyPath(path, &parts))
        return nullptr;
    std::shared_ptr<RegKey> key = from;
    for (const auto& p : parts) {
        std::shared_ptr<RegKey> next = Child(*key, p);
        if (!next) {
            next = std::make_shared<RegKey>();
            next->name = p;
            next->parent = key.get();
            key->subkeys.push_back(next);
            if (created)
                *created = true;
        }
        key = next;
    }
    return key;
}

RegValueRec* FindValue(RegKey& key, const std::u16string& name) {
    for (auto& v : key.values)
        if (EqualNoCase(v.name, name))
            return &v;
    return nullptr;
}

void SetValue(RegKey& key, const std::u16string& name, DWORD type, std::vector<uint8_t> data) {
    if (RegValueRec* v = FindValue(key, name)) {
        v->type = type; // the name keeps the case it was created with
        v->data = std::move(data);
        return;
    }
    key.values.push_back({name, type, std::move(data)});
}

// Removes a key and everything under it (used by the .reg "[-key]" form).
void RemoveKeyTree(const std::shared_ptr<RegKey>& key) {
    if (!key->parent)
        return;
    auto& siblings = key->parent->subkeys;
    for (size_t i = 0; i < siblings.size(); ++i) {
        if (siblings[i] == key) {
            MarkDeleted(*key);
            siblings.erase(siblings.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

} // namespace detail

using namespace detail;

// ---- Control ------------------------------------------------------------------------------

bool SetRegistryValue(HKEY root, const std::u16string& keyPath, const std::u16string& name,
                      DWORD type, const std::vector<uint8_t>& data) {
    auto key = MakeKey(RootKey(root), keyPath);
    if (!key)
        return false;
    SetValue(*key, name, type, data);
    return true;
}

std::optional<RegistryValue> GetRegistryValue(HKEY root, const std::u16string& keyPath,
                                              const std::u16string& name) {
    auto key = FindKey(RootKey(root), keyPath);
    if (!key)
        return std::nullopt;
    RegValueRec* v = FindValue(*key, name);
    if (!v)
        return std::nullopt;
    return RegistryValue{v->type, v->data};
}

bool CreateRegistryKey(HKEY root, const std::u16string& keyPath) {
    return MakeKey(RootKey(root), keyPath) != nullptr;
}

bool RegistryKeyExists(HKEY root, const std::u16string& keyPath) {
    return FindKey(RootKey(root), keyPath) != nullptr;
}

std::vector<std::u16string> RegistryValueNames(HKEY root, const std::u16string& keyPath) {
    std::vector<std::u16string> names;
    if (auto key = FindKey(RootKey(root), keyPath))
        for (const auto& v : key->values)
            names.push_back(v.name);
    return names;
}

std::vector<uint8_t> StringBytes(const std::u16string& text, bool withTerminator) {
    std::vector<uint8_t> data;
    for (char16_t c : text) {
        data.push_back(static_cast<uint8_t>(c & 0xFF));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (withTerminator) {
        data.push_back(0);
        data.push_back(0);
    }
    return data;
}

std::string ExportHive(HKEY root) {
    return ExportHiveText(root);
}

} // namespace winsim

using namespace winsim;
using namespace winsim::detail;

// The open key a call names and the path of the subkey it gives: a subkey path may not start
// with a backslash.
static LSTATUS LookupSubKey(HKEY hKey, LPCWSTR lpSubKey, KeyHandle* parent, std::u16string* sub) {
    if (LSTATUS rc = Lookup(hKey, parent))
        return rc;
    *sub = Str(lpSubKey);
    if (!sub->empty() && (*sub)[0] == u'\\')
        return ERROR_BAD_PATHNAME;
    return ERROR_SUCCESS;
}

// ---- Registry functions --------------------------------------------------------------------

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
    (void)ulOptions;
    if (phkResult)
        *phkResult = nullptr;
    if (DWORD e = Enter("RegOpenKeyExW"))
        return static_cast<LSTATUS>(e);
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    KeyHandle parent;
    std::u16string sub;
    if (LSTATUS rc = LookupSubKey(hKey, lpSubKey, &parent, &sub))
        return rc;
    auto key = FindKey(parent.key, sub);
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(key, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
    if (phkResult)
        *phkResult = nullptr;
    if (DWORD e = Enter("RegCreateKeyW"))
        return static_cast<LSTATUS>(e);
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    KeyHandle parent;
    std::u16string sub;
    if (LSTATUS rc = LookupSubKey(hKey, lpSubKey, &parent, &sub))
        return rc;
    auto key = FindKey(parent.key, sub);
    if (!key) {
        if (!(parent.access & KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        key = MakeKey(parent.key, sub);
        if (!key)
            return ERROR_BAD_PATHNAME;
    }
    *phkResult = NewHandle(key, KEY_ALL_ACCESS);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
    if (DWORD e = Enter("RegQueryValueExW"))
        return static_cast<LSTATUS>(e);
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    KeyHandle h;
    if (LSTATUS rc = Lookup(hKey, &h))
        return rc;
    if (!(h.access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    RegValueRec* v = FindValue(*h.key, Str(lpValueName));
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    if (lpType)
        *lpType = v->type;
    DWORD size = static_cast<DWORD>(v->data.size());
    if (!lpcbData)
        return ERROR_SUCCESS;
    if (!lpData) {
        *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size)
        memcpy(lpData, v->data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
    (void)Reserved;
    if (DWORD e = Enter("RegSetValueExW"))
        return static_cast<LSTATUS>(e);
    KeyHandle h;
    if (LSTATUS rc = Lookup(hKey, &h))
        return rc;
    if (!(h.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    if (!lpData && cbData)
        return ERROR_INVALID_PARAMETER;
    std::vector<uint8_t> data(lpData, lpData + (lpData ? cbData : 0));
    SetValue(*h.key, Str(lpValueName), dwType, std::move(data));
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    if (DWORD e = Enter("RegDeleteValueW"))
        return static_cast<LSTATUS>(e);
    KeyHandle h;
    if (LSTATUS rc = Lookup(hKey, &h))
        return rc;
    if (!(h.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    auto& values = h.key->values;
    std::u16string name = Str(lpValueName);
    for (size_t i = 0; i < values.size(); ++i) {
        if (EqualNoCase(values[i].name, name)) {
            values.erase(values.begin() + static_cast<std::ptrdiff_t>(i));
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (DWORD e = Enter("RegDeleteKeyW"))
        return static_cast<LSTATUS>(e);
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    KeyHandle h;
    if (LSTATUS rc = Lookup(hKey, &h))
        return rc;
    // The key is opened for deletion on its own; the parent handle's access plays no part.
    auto key = FindKey(h.key, Str(lpSubKey));
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    if (!key->parent || !key->subkeys.empty())
        return ERROR_ACCESS_DENIED;
    RemoveKeyTree(key);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (DWORD e = Enter("RegCloseKey"))
        return static_cast<LSTATUS>(e);
    if (IsPredefined(hKey))
        return ERROR_SUCCESS;
    return S().keyHandles.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS
                                                                   : ERROR_INVALID_HANDLE;
}

} // extern "C"
