// doctest's runner for the Windows test programs (console subsystem, wide entry).
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    // doctest wants narrow arguments; test filters are ASCII.
    std::vector<std::string> args;
    for (int i = 0; i < argc; i++)
    {
        std::string a;
        for (const wchar_t* p = argv[i]; *p; p++)
            a += (char)*p;
        args.push_back(a);
    }
    std::vector<char*> ptrs;
    for (auto& a : args)
        ptrs.push_back(a.data());
    doctest::Context context((int)ptrs.size(), ptrs.data());
    return context.run();
}
