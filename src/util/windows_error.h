// The system's own text for a Windows error code, for the sentences the user reads.
#pragma once
#include <windows.h>

#include <string>

// The message table's text for `code` in UTF-8 (never the ANSI code page), with
// its line end, trailing spaces and final period trimmed so callers can put it
// in parentheses. "Error N" when the system has no text for the code.
std::string WindowsErrorText(DWORD code);
