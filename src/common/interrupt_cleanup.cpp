#include "internal/interrupt_cleanup.hpp"

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#include <unistd.h>
#endif

namespace pairmend::interrupt_cleanup {

#if defined(_WIN32)

int remember(const std::string&) {
    return -1;
}

void forget(int) {}

void leave_to_host() {}

#else

namespace {

constexpr int capacity = 4096;

// The handler reads only these atomic pointers; the texts they point to stay allocated until the
// program ends, so a handler that loaded a pointer just before forget() still reads valid text.
std::atomic<const char*> slots[capacity];
std::atomic<int> slots_used{0};
std::atomic<bool> left_to_host{false};
std::vector<std::unique_ptr<char[]>>& texts() {
    static std::vector<std::unique_ptr<char[]>> owned;
    return owned;
}

constexpr int handled_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_and_end(int signal_number) {
    // Only async-signal-safe calls here: unlink, rmdir, signal and raise.
    for (int i = slots_used.load() - 1; i >= 0; --i) {
        const char* path = slots[i].load();
        if (path != nullptr && unlink(path) != 0) {
            rmdir(path);
        }
    }
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void install_handler() {
    static const bool installed = [] {
        for (const int signal_number : handled_signals) {
            struct sigaction action {};
            action.sa_handler = remove_and_end;
            sigemptyset(&action.sa_mask);
            for (const int other : handled_signals) {
                sigaddset(&action.sa_mask, other);
            }
            sigaction(signal_number, &action, nullptr);
        }
        return true;
    }();
    static_cast<void>(installed);
}

} // namespace

int remember(const std::string& path) {
    if (left_to_host.load()) {
        return -1;
    }
    install_handler();
    const int slot = slots_used.load();
    if (slot >= capacity) {
        return -1;
    }
    auto text = std::make_unique<char[]>(path.size() + 1);
    std::memcpy(text.get(), path.c_str(), path.size() + 1);
    slots[slot].store(text.get());
    texts().push_back(std::move(text));
    slots_used.store(slot + 1);
    return slot;
}

void forget(int registration) {
    if (registration >= 0 && registration < capacity) {
        slots[registration].store(nullptr);
    }
}

void leave_to_host() {
    left_to_host.store(true);
}

#endif

} // namespace pairmend::interrupt_cleanup
