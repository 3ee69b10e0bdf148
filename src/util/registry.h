// Values under HKEY_CURRENT_USER, UTF-8 inside.
#pragma once
#include <windows.h>

#include <cstddef>
#include <string>

// The longest REG_SZ text ReadRegString gives back. A path recorded longer
// than this would read back empty, and the installation it names could not
// be found again.
const size_t kMaxRegStringLength = 2046;

// One REG_SZ value (UTF-16 with its terminating zero counted); the key is
// created when missing. ERROR_SUCCESS or the system's error code.
LSTATUS WriteRegString(const std::wstring& subKey, const std::wstring& valueName, const std::string& text);
LSTATUS WriteRegDword(const std::wstring& subKey, const std::wstring& valueName, DWORD value);
// One REG_SZ value of at most kMaxRegStringLength characters; empty on any failure.
std::string ReadRegString(const std::wstring& subKey, const std::wstring& valueName);
// False when the value is missing or not a REG_DWORD.
bool ReadRegDword(const std::wstring& subKey, const std::wstring& valueName, DWORD& value);
