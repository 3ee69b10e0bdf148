// Text at the Windows border and short size texts.
#pragma once
#include <cstdint>
#include <string>

// UTF-8 inside, UTF-16 only at Windows calls. Bad sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// "1.0 GB" from 1 GiB up, "123 MB" below (units are powers of 1024).
std::string FormatSize(uint64_t bytes);
