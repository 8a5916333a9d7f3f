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
// holds five little-endian 64-bit values: frames presented, the CLOCK_REALTIME
// time in nanoseconds at which the first and the latest of them returned from
// the swap, and two capture numbers. Whoever reads the counter may raise the
// first (requested) above the second (done); at each swap while done is below
// requested, the counter then reads back the frame the program has just
// finished drawing, before it is presented, writes it to the same path with
// ".DONE.ppm" added, and adds one to done. So the frames come one after the
// other, and each is what the program drew, whatever the screen later shows.

#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "preload.hpp"

namespace {

struct Counter {
    std::atomic<std::uint64_t> frames;
    std::atomic<std::uint64_t> firstNs;
    std::atomic<std::uint64_t> lastNs;
    std::atomic<std::uint64_t> captureRequested;
    std::atomic<std::uint64_t> captureDone;
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free,
              "the counter is shared between processes");

using SwapBuffers = void (*)(void*, unsigned long);
using GetProcAddress = void* (*)(const unsigned char*);

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

// The counter's file, whose name the captured frames' names begin with.
const char* const counterFile = std::getenv("FRAME_COUNTER_FILE");

std::uint64_t nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<std::uint64_t>(now.tv_sec) * 1000000000U) +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// The real functions, as found on the first look-up that reached them.
std::atomic<SwapBuffers> realSwap{nullptr};
std::atomic<GetProcAddress> realGetProcAddress{nullptr};

using preload::libcDlsym;

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

// The OpenGL and Xlib calls that read back a frame, in the program's own
// libraries, or in the OpenGL library its loader opened for itself; looked
// up only when a capture is asked for.
template <typename Function> Function lookUp(const char* name)
{
    void* found = libcDlsym()(RTLD_DEFAULT, name);
    return reinterpret_cast<Function>(found != nullptr ? found
                                                       : preload::inOpenedGl(name));
}

constexpr unsigned glPackAlignment = 0x0D05;
constexpr unsigned glViewport = 0x0BA2;
constexpr unsigned glRgb = 0x1907;
constexpr unsigned glUnsignedByte = 0x1401;

// Read back the finished frame in the current context's back buffer, the
// size of the drawable, and write it as a binary PPM, top row first, as the
// capture with this number.
void captureFrame(void* display, unsigned long drawable, std::uint64_t number)
{
    using GetGeometry = int (*)(void*, unsigned long, unsigned long*, int*, int*,
                                unsigned*, unsigned*, unsigned*, unsigned*);
    using GetIntegerv = void (*)(unsigned, int*);
    using PixelStorei = void (*)(unsigned, int);
    using ReadPixels = void (*)(int, int, int, int, unsigned, unsigned, void*);
    const auto getGeometry = lookUp<GetGeometry>("XGetGeometry");
    const auto getIntegerv = lookUp<GetIntegerv>("glGetIntegerv");
    const auto pixelStorei = lookUp<PixelStorei>("glPixelStorei");
    const auto readPixels = lookUp<ReadPixels>("glReadPixels");
    if (getIntegerv == nullptr || pixelStorei == nullptr || readPixels == nullptr ||
        counterFile == nullptr) {
        return;
    }
    unsigned long root = 0;
    int x = 0;
    int y = 0;
    unsigned width = 0;
    unsigned height = 0;
    unsigned border = 0;
    unsigned depth = 0;
    if (getGeometry == nullptr || getGeometry(display, drawable, &root, &x, &y, &width,
                                              &height, &border, &depth) == 0) {
        std::array<int, 4> viewport{};
        getIntegerv(glViewport, viewport.data());
        width = static_cast<unsigned>(viewport[2]);
        height = static_cast<unsigned>(viewport[3]);
    }
    const std::size_t row = std::size_t{width} * 3;
    std::vector<unsigned char> pixels(row * height);
    int alignment = 4;
    getIntegerv(glPackAlignment, &alignment);
    pixelStorei(glPackAlignment, 1);
    readPixels(0, 0, static_cast<int>(width), static_cast<int>(height), glRgb,
               glUnsignedByte, pixels.data());
    pixelStorei(glPackAlignment, alignment);

    std::array<char, PATH_MAX> capture{};
    std::snprintf(capture.data(), capture.size(), "%s.%llu.ppm", counterFile,
                  static_cast<unsigned long long>(number));
    std::array<char, PATH_MAX + 4> partial{};
    std::snprintf(partial.data(), partial.size(), "%s.new", capture.data());
    std::FILE* out = std::fopen(partial.data(), "wb");
    if (out == nullptr) {
        return;
    }
    std::fprintf(out, "P6\n%u %u\n255\n", width, height);
    // OpenGL's rows run from the bottom up.
    for (unsigned line = height; line-- > 0;) {
        std::fwrite(pixels.data() + (line * row), 1, row, out);
    }
    if (std::fclose(out) == 0) {
        std::rename(partial.data(), capture.data());
    }
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
    if (counter != nullptr) {
        const std::uint64_t done = counter->captureDone.load();
        if (done < counter->captureRequested.load()) {
            captureFrame(display, drawable, done);
            counter->captureDone.store(done + 1);
        }
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
    const preload::Dlsym real = libcDlsym();
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

// The real function for a look-up that found found: the next definition in
// the global scope where there is one, so that a later preload (a test's
// stand-in driver) stays on the road, else what the look-up found.
void* next(const char* name, void* found)
{
    void* later = libcDlsym()(RTLD_NEXT, name);
    return later != nullptr ? later : found;
}

void* wrap(const char* name, void* found)
{
    if (sameName(name, "glXSwapBuffers")) {
        found = next(name, found);
        if (found != nullptr && found != reinterpret_cast<void*>(&glXSwapBuffers)) {
            realSwap.store(reinterpret_cast<SwapBuffers>(found));
        }
        return reinterpret_cast<void*>(&glXSwapBuffers);
    }
    if (sameName(name, "glXGetProcAddressARB") || sameName(name, "glXGetProcAddress")) {
        found = next("glXGetProcAddressARB", found);
        if (found != nullptr && found != reinterpret_cast<void*>(&glXGetProcAddressARB) &&
            found != reinterpret_cast<void*>(&glXGetProcAddress)) {
            realGetProcAddress.store(reinterpret_cast<GetProcAddress>(found));
        }
        return reinterpret_cast<void*>(&glXGetProcAddressARB);
    }
    return nullptr;
}

} // namespace
