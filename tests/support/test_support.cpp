#include "test_support.h"

#include "util/long_path.h"
#include "package/sha256.h"
#include "util/text.h"

#include <doctest.h>
#include <miniz.h>

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::string MakeTempDir(const std::string& name)
{
    static std::atomic<int> counter{0};
    fs::path p = fs::temp_directory_path() / L"ostrel-tests" /
        (Utf8ToWide(name) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++));
    // What an earlier run of the same process id left, however deep: the
    // library's remove_all gives up silently past 260 characters.
    RemoveTree(p.wstring());
    fs::create_directories(p);
    return WideToUtf8(p.wstring());
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    fs::path p(Utf8ToWide(path));
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream f(fs::path(Utf8ToWide(path)), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool PathExists(const std::string& path)
{
    std::error_code ec;
    return fs::exists(fs::path(Utf8ToWide(path)), ec);
}

std::string EnvVar(const char* name)
{
    wchar_t buf[4096];
    std::wstring wname = Utf8ToWide(name);
    DWORD n = GetEnvironmentVariableW(wname.c_str(), buf, 4096);
    if (n == 0 || n >= 4096)
        return std::string();
    return WideToUtf8(std::wstring(buf, n));
}

std::string MakeZip(const std::vector<ZipEntry>& entries)
{
    mz_zip_archive zip;
    mz_zip_zero_struct(&zip);
    REQUIRE(mz_zip_writer_init_heap(&zip, 0, 0));
    for (const ZipEntry& e : entries)
        REQUIRE(mz_zip_writer_add_mem_ex(&zip, e.name.c_str(), e.data.data(), e.data.size(), nullptr, 0,
                                         (mz_uint)e.level, 0, 0));
    void* buf = nullptr;
    size_t size = 0;
    REQUIRE(mz_zip_writer_finalize_heap_archive(&zip, &buf, &size));
    std::string bytes((const char*)buf, size);
    mz_free(buf);
    mz_zip_writer_end(&zip);
    return bytes;
}

std::string Sha256Of(const std::string& bytes)
{
    std::string path = MakeTempDir("sha") + "\\blob";
    WriteFileBytes(path, bytes);
    return Sha256File(path);
}
