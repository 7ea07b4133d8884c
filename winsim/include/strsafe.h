// Simulated Windows: bounded string functions with the documented strsafe results.
#ifndef WINSIM_STRSAFE_H
#define WINSIM_STRSAFE_H
#include <windows.h>

#define STRSAFE_MAX_CCH 2147483647
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057L)
#define STRSAFE_E_END_OF_FILE ((HRESULT)0x80070026L)

extern "C" {
HRESULT StringCchCopyW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc);
HRESULT StringCchCatW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc);
HRESULT StringCchLengthW(LPCWSTR psz, size_t cchMax, size_t* pcchLength);
HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...);
}

#endif
