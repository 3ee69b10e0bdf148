#include "util/test_pause.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

void PauseForTest(const char* moment)
{
    char value[512];
    const DWORD n = GetEnvironmentVariableA("OSTREL_TEST_PAUSE", value, sizeof(value));
    if (n == 0 || n >= sizeof(value))
        return;
    const std::string list(value, n), wanted = std::string(moment) + "=";
    size_t at = 0;
    while (at < list.size())
    {
        size_t end = list.find(',', at);
        if (end == std::string::npos)
            end = list.size();
        if (list.compare(at, wanted.size(), wanted) == 0)
        {
            Sleep((DWORD)std::strtoul(list.c_str() + at + wanted.size(), nullptr, 10));
            return;
        }
        at = end + 1;
    }
}
