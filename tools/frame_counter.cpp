// Preloaded into the program under test, this counts the frames it presents
// by wrapping glXSwapBuffers, and keeps the count in a small shared file that
// tests and benchmarks read while the program runs.
//
// FRAME_COUNTER_FILE names the file, made as soon as the counter is loaded. It
// holds three little-endian 64-bit values: frames presented, and the
// CLOCK_REALTIME time in nanoseconds at which the first and the latest of them
// returned from the swap.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct Counter {
    std::atomic<std::uint64_t> frames;
    std::atomic<std::uint64_t> firstNs;
    std::atomic<std::uint64_t> lastNs;
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free,
              "the counter is shared between processes");

using SwapBuffers = void (*)(void*, unsigned long);

Counter* openCounter()
{
    const char* path = std::getenv("FRAME_COUNTER_FILE");
    if (path == nullptr) {
        return nullptr;
    }
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    void* memory = MAP_FAILED;
    if (ftruncate(fd, sizeof(Counter)) == 0) {
        memory =
            mmap(nullptr, sizeof(Counter), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    close(fd);
    return memory == MAP_FAILED ? nullptr : static_cast<Counter*>(memory);
}

// Made at load time, so that the file's existence shows the counter was armed.
Counter* const counter = openCounter();

std::uint64_t nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000U +
           static_cast<std::uint64_t>(now.tv_nsec);
}

} // namespace

extern "C" void glXSwapBuffers(void* display, unsigned long drawable)
{
    static const auto realSwap =
        reinterpret_cast<SwapBuffers>(dlsym(RTLD_NEXT, "glXSwapBuffers"));

    if (realSwap != nullptr) {
        realSwap(display, drawable);
    }
    if (counter != nullptr) {
        const std::uint64_t now = nowNs();
        if (counter->frames.fetch_add(1) == 0) {
            counter->firstNs.store(now);
        }
        counter->lastNs.store(now);
    }
}
