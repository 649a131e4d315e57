// A one-way stop signal a thread sleeps on with a timeout.
//
// On Windows it is an event object: at process exit the system ends the sleeping thread before a
// DLL's static destructors run, and a condition variable whose waiter was killed can block the
// thread that signals it (winpthreads hands each signal to a waiter); setting an event never
// waits for anyone.
#pragma once

#include <chrono>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <condition_variable>
#include <mutex>
#endif

namespace quillet::details {

class stop_event {
public:
    stop_event();
    ~stop_event();
    stop_event(const stop_event&) = delete;
    stop_event& operator=(const stop_event&) = delete;

    void set() noexcept;
    // Sleeps up to `timeout`; true once set.
    bool wait_for(std::chrono::milliseconds timeout) noexcept;

private:
#if defined(_WIN32)
    HANDLE event_;
#else
    std::mutex mutex_;
    std::condition_variable wake_;
    bool set_ = false;
#endif
};

#if defined(_WIN32)
inline stop_event::stop_event() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (event_ == nullptr) throw std::system_error(static_cast<int>(::GetLastError()), std::system_category());
}
inline stop_event::~stop_event() { ::CloseHandle(event_); }
inline void stop_event::set() noexcept { ::SetEvent(event_); }
inline bool stop_event::wait_for(std::chrono::milliseconds timeout) noexcept {
    return ::WaitForSingleObject(event_, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}
#else
inline stop_event::stop_event() = default;
inline stop_event::~stop_event() = default;
inline void stop_event::set() noexcept {
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    wake_.notify_all();
}
inline bool stop_event::wait_for(std::chrono::milliseconds timeout) noexcept {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, timeout, [this] { return set_; });
}
#endif

}  // namespace quillet::details
