// glibc entry points newer than the oldest glibc the portable wheel supports (KORVO_GLIBC_MAX),
// for the portable build only (cmake/portable.cmake). The compiler's static C++ runtime was built
// against a newer glibc and calls them; linked into each of our libraries, hidden, these
// definitions take those calls, so that the library needs only what older glibc releases have.
// Each forwards to an older entry point with the same meaning for the runtime's uses. GCC 16's
// runtime on glibc 2.42 calls arc4random and __isoc23_strtoul; the link check names any other.
//
// <stdlib.h> is not included: its declarations redirect strtol and strtoul to the newer names,
// the very calls this file stands in for.
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

// The older entry points, by their plain symbol names (bound to glibc's long-standing versions).
extern "C" {
long korvo_glibc_strtol(const char*, char**, int) noexcept __asm__("strtol");
unsigned long korvo_glibc_strtoul(const char*, char**, int) noexcept __asm__("strtoul");
[[noreturn]] void korvo_glibc_abort() noexcept __asm__("abort");
}

namespace {

// Fills the buffer from the kernel's generator; like glibc's arc4random, never fails: without
// any source of randomness the process stops rather than use predictable bytes.
void fill_random(void* buffer, std::size_t size) noexcept {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got = ::getrandom(out, size, 0);
        if (got > 0) {
            out += got;
            size -= static_cast<std::size_t>(got);
        } else if (got < 0 && errno == ENOSYS) {
            // Kernels before 3.17.
            const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
            if (fd < 0) korvo_glibc_abort();
            while (size > 0) {
                const ssize_t chunk = ::read(fd, out, size);
                if (chunk <= 0 && !(chunk < 0 && errno == EINTR)) korvo_glibc_abort();
                if (chunk > 0) {
                    out += chunk;
                    size -= static_cast<std::size_t>(chunk);
                }
            }
            ::close(fd);
        } else if (got < 0 && errno != EINTR) {
            korvo_glibc_abort();
        }
    }
}

}  // namespace

#define KORVO_GLIBC_COMPAT extern "C" __attribute__((visibility("hidden")))

// glibc 2.38: C23's integer parsing (it also takes "0b" prefixes, which the runtime never passes).
KORVO_GLIBC_COMPAT long __isoc23_strtol(const char* s, char** end, int base) noexcept {
    return korvo_glibc_strtol(s, end, base);
}
KORVO_GLIBC_COMPAT unsigned long __isoc23_strtoul(const char* s, char** end, int base) noexcept {
    return korvo_glibc_strtoul(s, end, base);
}

// glibc 2.36: std::random_device's default source.
KORVO_GLIBC_COMPAT std::uint32_t arc4random() noexcept {
    std::uint32_t value;
    fill_random(&value, sizeof value);
    return value;
}
