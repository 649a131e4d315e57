// What libquillet asks of the operating system: files written with one system call per write,
// and hooks around fork. The only file of the library that names POSIX or Win32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

namespace quillet::details::platform {

// Whether the system ends the process's other threads before a shared library's static
// destructors run at exit (Windows does, under the loader lock): a thread cannot be joined then.
#if defined(_WIN32)
inline constexpr bool exit_ends_threads_first = true;
#else
inline constexpr bool exit_ends_threads_first = false;
#endif

// How far one write got: `written` bytes reached the file, then `error` (if set) stopped it.
struct write_result {
    std::size_t written = 0;
    std::error_code error;
};

// An open file that every write appends to, with no buffer of its own: what write() returns is
// in the kernel. Not inherited by programs the process starts. One owner; not thread-safe.
class append_file {
public:
    append_file() noexcept = default;
    ~append_file() { close(); }
    append_file(append_file&& other) noexcept;
    append_file& operator=(append_file&& other) noexcept;
    append_file(const append_file&) = delete;
    append_file& operator=(const append_file&) = delete;

    // Opens (creating) `path`, UTF-8, emptied first when `truncate`. The error on failure.
    std::error_code open(const std::string& path, bool truncate) noexcept;
    // Writes all `size` bytes, resuming after short writes and interruptions.
    write_result write(const char* data, std::size_t size) noexcept;
    // The file's size now; 0 when it cannot be read.
    std::uint64_t size() const noexcept;
    void close() noexcept;
    bool is_open() const noexcept;

private:
#if defined(_WIN32)
    void* handle_ = nullptr;  // a HANDLE; null when closed
#else
    int fd_ = -1;
#endif
};

// Registers handlers run around fork() by the forking thread: before it, then in the parent or
// in the child. Does nothing where there is no fork.
void at_fork(void (*prepare)(), void (*in_parent)(), void (*in_child)()) noexcept;

}  // namespace quillet::details::platform
