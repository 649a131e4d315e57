// POSIX and Win32 behind platform.hpp.
#include "platform.hpp"

#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillet::details::platform {

#if defined(_WIN32)

namespace {
std::error_code last_error() noexcept { return {static_cast<int>(::GetLastError()), std::system_category()}; }

std::wstring wide(const std::string& utf8) {
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}
}  // namespace

append_file::append_file(append_file&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

append_file& append_file::operator=(append_file&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

std::error_code append_file::open(const std::string& path, bool truncate) noexcept {
    close();
    try {
        const std::wstring name = wide(path);
        // Appending access alone makes every write land at the end, whoever else writes the file;
        // others may read, write, rename and delete it meanwhile (rotation renames it).
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        if (truncate) {
            HANDLE emptied = ::CreateFileW(name.c_str(), GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
            if (emptied == INVALID_HANDLE_VALUE) return last_error();
            ::CloseHandle(emptied);
        }
        HANDLE h =
            ::CreateFileW(name.c_str(), FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return last_error();
        handle_ = h;
        return {};
    } catch (...) {
        return std::make_error_code(std::errc::not_enough_memory);
    }
}

write_result append_file::write(const char* data, std::size_t size) noexcept {
    write_result r;
    while (r.written < size) {
        const std::size_t left = size - r.written;
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD done = 0;
        if (!::WriteFile(handle_, data + r.written, chunk, &done, nullptr)) {
            r.error = last_error();
            return r;
        }
        if (done == 0) {
            r.error = std::make_error_code(std::errc::io_error);
            return r;
        }
        r.written += done;
    }
    return r;
}

std::uint64_t append_file::size() const noexcept {
    LARGE_INTEGER n{};
    return ::GetFileSizeEx(handle_, &n) ? static_cast<std::uint64_t>(n.QuadPart) : 0;
}

void append_file::close() noexcept {
    if (handle_ != nullptr) ::CloseHandle(std::exchange(handle_, nullptr));
}

bool append_file::is_open() const noexcept { return handle_ != nullptr; }

void at_fork(void (*)(), void (*)(), void (*)()) noexcept {}

#else

namespace {
std::error_code last_error() noexcept { return {errno, std::generic_category()}; }
}  // namespace

append_file::append_file(append_file&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

append_file& append_file::operator=(append_file&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

std::error_code append_file::open(const std::string& path, bool truncate) noexcept {
    close();
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags, 0644);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) return last_error();
    fd_ = fd;
    return {};
}

write_result append_file::write(const char* data, std::size_t size) noexcept {
    write_result r;
    while (r.written < size) {
        const ssize_t n = ::write(fd_, data + r.written, size - r.written);
        if (n < 0) {
            if (errno == EINTR) continue;
            r.error = last_error();
            return r;
        }
        if (n == 0) {
            r.error = std::make_error_code(std::errc::io_error);
            return r;
        }
        r.written += static_cast<std::size_t>(n);
    }
    return r;
}

std::uint64_t append_file::size() const noexcept {
    struct stat st{};
    return ::fstat(fd_, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

void append_file::close() noexcept {
    if (fd_ != -1) ::close(std::exchange(fd_, -1));  // the descriptor is gone even when close fails
}

bool append_file::is_open() const noexcept { return fd_ != -1; }

void at_fork(void (*prepare)(), void (*in_parent)(), void (*in_child)()) noexcept {
    ::pthread_atfork(prepare, in_parent, in_child);
}

#endif

}  // namespace quillet::details::platform
