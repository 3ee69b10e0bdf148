/* Stand-in for the Ostrel launcher: shows the game folder it finds in its
   settings.json. "--data DIR" reads DIR\settings.json instead of
   %LOCALAPPDATA%\OstrelLauncher\settings.json, like the setup's option. */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static char* ReadWholeFile(const wchar_t* path)
{
    FILE* f = _wfopen(path, L"rb");
    if (!f)
        return NULL;
    char* data = NULL;
    size_t size = 0;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
    {
        char* grown = realloc(data, size + n + 1);
        if (!grown)
        {
            free(data);
            fclose(f);
            return NULL;
        }
        data = grown;
        memcpy(data + size, chunk, n);
        size += n;
    }
    fclose(f);
    if (!data)
        data = calloc(1, 1);
    else
        data[size] = 0;
    return data;
}

static int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* The string value of a top-level "name": "..." member, as UTF-16 (JSON
   escapes decoded, \u escapes and UTF-8 both handled). 0 when absent. */
static int FindStringMember(const char* json, const char* name, wchar_t* out, int outLen)
{
    char key[128];
    snprintf(key, sizeof(key), "\"%s\"", name);
    const char* p = strstr(json, key);
    if (!p)
        return 0;
    p += strlen(key);
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    if (*p++ != ':')
        return 0;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    if (*p++ != '"')
        return 0;
    /* Collect UTF-8 bytes, then convert once. */
    char* bytes = malloc(strlen(p) * 4 + 1);
    if (!bytes)
        return 0;
    size_t n = 0;
    while (*p && *p != '"')
    {
        if (*p != '\\')
        {
            bytes[n++] = *p++;
            continue;
        }
        p++;
        char c = *p ? *p++ : 0;
        switch (c)
        {
        case 'n': bytes[n++] = '\n'; break;
        case 't': bytes[n++] = '\t'; break;
        case 'r': bytes[n++] = '\r'; break;
        case 'b': bytes[n++] = '\b'; break;
        case 'f': bytes[n++] = '\f'; break;
        case 'u':
        {
            unsigned v = 0;
            for (int i = 0; i < 4 && HexValue(*p) >= 0; i++)
                v = v * 16 + (unsigned)HexValue(*p++);
            /* Code units are written as UTF-8 one by one; a surrogate pair
               ends up as two three-byte forms, good enough for a display. */
            if (v < 0x80) bytes[n++] = (char)v;
            else if (v < 0x800) { bytes[n++] = (char)(0xC0 | (v >> 6)); bytes[n++] = (char)(0x80 | (v & 0x3F)); }
            else
            {
                bytes[n++] = (char)(0xE0 | (v >> 12));
                bytes[n++] = (char)(0x80 | ((v >> 6) & 0x3F));
                bytes[n++] = (char)(0x80 | (v & 0x3F));
            }
            break;
        }
        case 0: break;
        default: bytes[n++] = c; break;
        }
    }
    bytes[n] = 0;
    int written = MultiByteToWideChar(CP_UTF8, 0, bytes, -1, out, outLen);
    free(bytes);
    if (written <= 0)
        out[0] = 0;
    return 1;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE prev, PWSTR cmd, int show)
{
    (void)instance; (void)prev; (void)cmd; (void)show;
    wchar_t dataDir[MAX_PATH * 2] = L"";
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i + 1 < argc; i++)
        if (wcscmp(argv[i], L"--data") == 0)
            wcsncpy(dataDir, argv[i + 1], MAX_PATH * 2 - 1);
    if (argv)
        LocalFree(argv);
    if (!dataDir[0])
    {
        wchar_t local[MAX_PATH * 2];
        DWORD got = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH * 2);
        if (got == 0 || got >= MAX_PATH * 2)
            wcscpy(local, L".");
        _snwprintf(dataDir, MAX_PATH * 2 - 1, L"%ls\\OstrelLauncher", local);
    }
    wchar_t settingsPath[MAX_PATH * 3];
    _snwprintf(settingsPath, MAX_PATH * 3 - 1, L"%ls\\settings.json", dataDir);
    settingsPath[MAX_PATH * 3 - 1] = 0;

    wchar_t gameDir[MAX_PATH * 2] = L"";
    wchar_t text[MAX_PATH * 8];
    char* json = ReadWholeFile(settingsPath);
    if (!json)
        _snwprintf(text, MAX_PATH * 8 - 1, L"No settings file at\n%ls", settingsPath);
    else if (!FindStringMember(json, "gameDir2024July", gameDir, MAX_PATH * 2))
        _snwprintf(text, MAX_PATH * 8 - 1, L"%ls has no game folder.", settingsPath);
    else if (!gameDir[0])
        _snwprintf(text, MAX_PATH * 8 - 1, L"The game is not linked (the game folder is empty).");
    else
    {
        wchar_t exe[MAX_PATH * 3];
        _snwprintf(exe, MAX_PATH * 3 - 1, L"%ls\\Playden.exe", gameDir);
        exe[MAX_PATH * 3 - 1] = 0;
        BOOL present = GetFileAttributesW(exe) != INVALID_FILE_ATTRIBUTES;
        _snwprintf(text, MAX_PATH * 8 - 1, L"Game folder: %ls\n\nPlayden.exe %ls", gameDir,
                   present ? L"is there - ready to play." : L"is missing!");
    }
    text[MAX_PATH * 8 - 1] = 0;
    free(json);
    MessageBoxW(NULL, text, L"Ostrel Launcher (demo)", MB_OK | MB_ICONINFORMATION);
    return 0;
}
