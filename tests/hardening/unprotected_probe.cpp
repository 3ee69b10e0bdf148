// A program built the ordinary way: WinHTTP imported statically and no
// restriction of the DLL search. It shows that the planted-DLL test can see a
// load when one happens.
#include <windows.h>
#include <winhttp.h>

int wmain()
{
    return WinHttpCheckPlatform() ? 0 : 1;
}
