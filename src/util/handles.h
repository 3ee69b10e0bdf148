// Owners for the handles of Windows and the C runtime: each closes its handle
// once, when it goes out of scope, so every way out of a function releases
// what it opened, in reverse order of opening.
#pragma once
#include <windows.h>

#include <cstdio>
#include <utility>

// `Traits` names the handle type, its invalid value and how to close it.
template <typename Traits>
class UniqueHandle
{
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle h) : handle_(h) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::Invalid(); }
    // For functions that return the handle through a pointer.
    Handle* put()
    {
        reset();
        return &handle_;
    }
    Handle release() { return std::exchange(handle_, Traits::Invalid()); }
    void reset(Handle h = Traits::Invalid())
    {
        if (handle_ != Traits::Invalid())
            Traits::Close(handle_);
        handle_ = h;
    }

private:
    Handle handle_ = Traits::Invalid();
};

// Files, processes, threads, snapshots, mutexes: INVALID_HANDLE_VALUE is the
// failure value of CreateFile and CreateToolhelp32Snapshot.
struct FileHandleTraits
{
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};
using UniqueFile = UniqueHandle<FileHandleTraits>;

// Handles whose failure value is null (OpenProcess, CreateMutex, CreateEvent, CreateThread).
struct KernelHandleTraits
{
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { CloseHandle(h); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

struct RegKeyTraits
{
    using Handle = HKEY;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { RegCloseKey(h); }
};
using UniqueRegKey = UniqueHandle<RegKeyTraits>;

struct CFileTraits
{
    using Handle = FILE*;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { fclose(h); }
};
using UniqueCFile = UniqueHandle<CFileTraits>;
