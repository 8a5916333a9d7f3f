// Preloaded into the program under test, this counts the frames it presents
// by wrapping glXSwapBuffers, and keeps the count in a small shared file that
// tests and benchmarks read while the program runs.
//
// A program may call the swap through the OpenGL library's symbol (SFML 2.5
// does), or through a pointer it looks up with dlsym or glXGetProcAddress on
// a handle of its own (SFML 2.6's loader does). Those look-ups are wrapped
// too, so that every road to the swap leads through the counter.
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
using GetProcAddress = void* (*)(const unsigned char*);
using Dlsym = void* (*)(void*, const char*);

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

// The real functions, as found on the first look-up that reached them.
std::atomic<SwapBuffers> realSwap{nullptr};
std::atomic<GetProcAddress> realGetProcAddress{nullptr};

// The C library's own dlsym, which this library's dlsym stands in front of.
// Found without the help of anything a sanitizer runtime may intercept, as
// that runtime looks up its own functions through dlsym before it is ready.
Dlsym libcDlsym()
{
    static std::atomic<Dlsym> real{nullptr};
    Dlsym found = real.load(std::memory_order_relaxed);
    if (found == nullptr) {
        void* symbol = dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.34");
        if (symbol == nullptr) {
            symbol = dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.2.5");
        }
        found = reinterpret_cast<Dlsym>(symbol);
        real.store(found, std::memory_order_relaxed);
    }
    return found;
}

// Whether two names are the same, without the C library's strcmp, which a
// sanitizer runtime intercepts and cannot yet serve while it starts.
bool sameName(const char* name, const char* other)
{
    while (*name != '\0' && *name == *other) {
        ++name;
        ++other;
    }
    return *name == *other;
}

void countFrame()
{
    if (counter != nullptr) {
        const std::uint64_t now = nowNs();
        if (counter->frames.fetch_add(1) == 0) {
            counter->firstNs.store(now);
        }
        counter->lastNs.store(now);
    }
}

// Where a look-up for name should lead: to this library's wrapper, having
// kept the real function that found gives; or nowhere else (nullptr).
void* wrap(const char* name, void* found);

} // namespace

extern "C" void glXSwapBuffers(void* display, unsigned long drawable)
{
    SwapBuffers swap = realSwap.load();
    if (swap == nullptr) {
        swap = reinterpret_cast<SwapBuffers>(libcDlsym()(RTLD_NEXT, "glXSwapBuffers"));
        realSwap.store(swap);
    }
    if (swap != nullptr) {
        swap(display, drawable);
    }
    countFrame();
}

extern "C" void* glXGetProcAddressARB(const unsigned char* name)
{
    GetProcAddress getProcAddress = realGetProcAddress.load();
    if (getProcAddress == nullptr) {
        getProcAddress = reinterpret_cast<GetProcAddress>(
            libcDlsym()(RTLD_NEXT, "glXGetProcAddressARB"));
        realGetProcAddress.store(getProcAddress);
    }
    void* found = getProcAddress != nullptr ? getProcAddress(name) : nullptr;
    void* wrapper = wrap(reinterpret_cast<const char*>(name), found);
    return wrapper != nullptr ? wrapper : found;
}

extern "C" void* glXGetProcAddress(const unsigned char* name)
{
    return glXGetProcAddressARB(name);
}

extern "C" void* dlsym(void* handle, const char* name)
{
    const Dlsym real = libcDlsym();
    if (real == nullptr) {
        return nullptr;
    }
    if (handle == RTLD_NEXT) {
        // The C library finds the object after the caller's from the return
        // address, which only a tail call leaves as it was; such look-ups
        // are for wrappers like this one, never for the swap.
        return real(handle, name);
    }
    void* found = real(handle, name);
    void* wrapper = found != nullptr ? wrap(name, found) : nullptr;
    return wrapper != nullptr ? wrapper : found;
}

namespace {

void* wrap(const char* name, void* found)
{
    if (sameName(name, "glXSwapBuffers")) {
        if (found != nullptr && found != reinterpret_cast<void*>(&glXSwapBuffers)) {
            realSwap.store(reinterpret_cast<SwapBuffers>(found));
        }
        return reinterpret_cast<void*>(&glXSwapBuffers);
    }
    if (sameName(name, "glXGetProcAddressARB") || sameName(name, "glXGetProcAddress")) {
        if (found != nullptr && found != reinterpret_cast<void*>(&glXGetProcAddressARB) &&
            found != reinterpret_cast<void*>(&glXGetProcAddress)) {
            realGetProcAddress.store(reinterpret_cast<GetProcAddress>(found));
        }
        return reinterpret_cast<void*>(&glXGetProcAddressARB);
    }
    return nullptr;
}

} // namespace
