// Preloaded into the program under test, this stands in for an OpenGL driver
// that takes every call but draws, or shows, the frame wrongly, as some
// remote, virtual and vendor drivers do; no such driver can be had here.
// WRONG_DRIVER says how:
//   nothing     draws nothing: the window stays black
//   part        draws only the first half of each shape
//   background  clears to dark red instead of the colour asked for
//   moved       draws everything a few pixels to the right
//   colours     draws shapes blue, mixing up the colour channels
//   hidden      draws the frame right, then presents a black one
//   late        draws right at first, then, once the frame counter reads back
//               frames a second time (the checker's look at the end), as
//               background does
//   alternate   draws every other frame as background does, as a driver
//               presenting a stale buffer every other swap shows it
//   slow        presents a frame every 1.5 s, as over a slow remote link
//   crash       draws right, then crashes (SIGSEGV) as the process exits, as
//               some drivers do as they unload
// SFML 2.5 calls these through the OpenGL library's own symbols, which a
// preloaded definition takes the place of. SFML 2.6 opens the OpenGL library
// for itself and asks glXGetProcAddressARB for each function: that is
// answered here too, with the same stand-ins. Each passes on to the real one.

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <thread>
#include <utility>

#include "preload.hpp"

namespace {

enum class Fault : std::uint8_t {
    None,
    Nothing,
    Part,
    Background,
    Moved,
    Colours,
    Hidden,
    Late,
    Alternate,
    Slow,
    Crash
};

Fault fault()
{
    static const Fault chosen = [] {
        const char* name = std::getenv("WRONG_DRIVER");
        const std::array<const char*, 11> names = {
            "",       "nothing", "part",      "background", "moved", "colours",
            "hidden", "late",    "alternate", "slow",       "crash"};
        for (int i = 1; name != nullptr && i <= static_cast<int>(Fault::Crash); ++i) {
            if (std::strcmp(name, names.at(static_cast<std::size_t>(i))) == 0) {
                return static_cast<Fault>(i);
            }
        }
        return Fault::None;
    }();
    return chosen;
}

using GetProcAddress = void* (*)(const unsigned char*);
// The C library's own dlsym: the frame counter, preloaded too, stands in
// front of the dlsym symbol and would answer some names with itself.
using preload::libcDlsym;

// The OpenGL library's own glXGetProcAddressARB: in the global scope where
// the program links the library, else in the copy a loader opened for itself.
GetProcAddress realGetProcAddress()
{
    static const GetProcAddress found = [] {
        void* symbol = libcDlsym()(RTLD_NEXT, "glXGetProcAddressARB");
        return reinterpret_cast<GetProcAddress>(
            symbol != nullptr ? symbol : preload::inOpenedGl("glXGetProcAddressARB"));
    }();
    return found;
}

// The real OpenGL function: the next definition of the symbol, or what the
// OpenGL library gives for the name.
template <typename Function> Function real(const char* name)
{
    void* found = libcDlsym()(RTLD_NEXT, name);
    if (found == nullptr && realGetProcAddress() != nullptr) {
        found = realGetProcAddress()(reinterpret_cast<const unsigned char*>(name));
    }
    return reinterpret_cast<Function>(found);
}

constexpr unsigned glModelview = 0x1700;
constexpr unsigned glMatrixModeQuery = 0x0BA0;
constexpr unsigned glColorArray = 0x8076;
constexpr unsigned glColorBufferBit = 0x4000;
constexpr float shift = 6.0F;
constexpr auto slowFrame = std::chrono::milliseconds(1500);
constexpr unsigned glRgb = 0x1907;
constexpr unsigned glUnsignedByte = 0x1401;
constexpr unsigned char lateRed = 128;

// Frames presented so far.
unsigned long frames = 0;
// The runs of frames in a row read back so far, and the frame last read: the
// checker looks at the drawn frames in runs, once at first and once at the
// end, and the late fault starts at the second, whatever the machine's speed.
unsigned readBackRuns = 0;
unsigned long lastReadBack = 0;

// Whether this frame's background is drawn wrongly.
bool wrongBackground()
{
    switch (fault()) {
    case Fault::Background:
        return true;
    case Fault::Late:
        return readBackRuns >= 2;
    case Fault::Alternate:
        return frames % 2 == 1;
    default:
        return false;
    }
}

// Runs as the process exits, once the program has returned from main: in a
// process that presented frames, as a driver's own clean-up would.
__attribute__((destructor)) void crashAtExit()
{
    if (fault() == Fault::Crash && frames > 0) {
        std::raise(SIGSEGV);
    }
}

using Draw = void (*)();

// Run draw with the fault applied to it.
template <typename Call> void drawWrongly(Call draw)
{
    switch (fault()) {
    case Fault::Nothing:
        return;
    case Fault::Moved: {
        int mode = 0;
        real<void (*)(unsigned, int*)>("glGetIntegerv")(glMatrixModeQuery, &mode);
        real<void (*)(unsigned)>("glMatrixMode")(glModelview);
        real<Draw>("glPushMatrix")();
        real<void (*)(float, float, float)>("glTranslatef")(shift, 0.0F, 0.0F);
        draw();
        real<Draw>("glPopMatrix")();
        real<void (*)(unsigned)>("glMatrixMode")(static_cast<unsigned>(mode));
        return;
    }
    case Fault::Colours:
        real<void (*)(unsigned)>("glDisableClientState")(glColorArray);
        real<void (*)(unsigned char, unsigned char, unsigned char, unsigned char)>(
            "glColor4ub")(0, 0, 255, 255);
        draw();
        real<void (*)(unsigned)>("glEnableClientState")(glColorArray);
        return;
    default:
        draw();
    }
}

} // namespace

extern "C" void glDrawArrays(unsigned mode, int first, int count)
{
    const auto draw = real<void (*)(unsigned, int, int)>("glDrawArrays");
    drawWrongly([&] { draw(mode, first, fault() == Fault::Part ? count / 2 : count); });
}

extern "C" void glDrawElements(unsigned mode, int count, unsigned type,
                               const void* indices)
{
    const auto draw =
        real<void (*)(unsigned, int, unsigned, const void*)>("glDrawElements");
    drawWrongly(
        [&] { draw(mode, fault() == Fault::Part ? count / 2 : count, type, indices); });
}

extern "C" void glClearColor(float red, float green, float blue, float alpha)
{
    const auto clearColor = real<void (*)(float, float, float, float)>("glClearColor");
    if (wrongBackground()) {
        clearColor(0.5F, 0.0F, 0.0F, 1.0F);
    }
    else {
        clearColor(red, green, blue, alpha);
    }
}

extern "C" void glXSwapBuffers(void* display, unsigned long drawable)
{
    if (fault() == Fault::Hidden) {
        real<void (*)(float, float, float, float)>("glClearColor")(0.0F, 0.0F, 0.0F,
                                                                   1.0F);
        real<void (*)(unsigned)>("glClear")(glColorBufferBit);
    }
    if (fault() == Fault::Slow) {
        std::this_thread::sleep_for(slowFrame);
    }
    real<void (*)(void*, unsigned long)>("glXSwapBuffers")(display, drawable);
    ++frames;
}

extern "C" void glReadPixels(int x, int y, int width, int height, unsigned format,
                             unsigned type, void* pixels)
{
    const bool runStarts = readBackRuns == 0 || frames != lastReadBack + 1;
    readBackRuns += runStarts ? 1 : 0;
    lastReadBack = frames;
    real<void (*)(int, int, int, int, unsigned, unsigned, void*)>("glReadPixels")(
        x, y, width, height, format, type, pixels);
    // The first frame of the second run was drawn before the fault began:
    // it reads back as the frames after it are drawn, black turned dark red.
    if (fault() == Fault::Late && readBackRuns == 2 && runStarts && format == glRgb &&
        type == glUnsignedByte) {
        auto* pixel = static_cast<unsigned char*>(pixels);
        for (long i = 0; i < static_cast<long>(width) * height; ++i, pixel += 3) {
            if ((pixel[0] | pixel[1] | pixel[2]) == 0) {
                pixel[0] = lateRed;
            }
        }
    }
}

// The functions above, wherever the program asks the OpenGL library for them.
extern "C" void* glXGetProcAddressARB(const unsigned char* name)
{
    const std::array<std::pair<const char*, void*>, 5> standIns = {{
        {"glDrawArrays", reinterpret_cast<void*>(&glDrawArrays)},
        {"glDrawElements", reinterpret_cast<void*>(&glDrawElements)},
        {"glClearColor", reinterpret_cast<void*>(&glClearColor)},
        {"glXSwapBuffers", reinterpret_cast<void*>(&glXSwapBuffers)},
        {"glReadPixels", reinterpret_cast<void*>(&glReadPixels)},
    }};
    for (const auto& [standInName, standIn] : standIns) {
        if (std::strcmp(reinterpret_cast<const char*>(name), standInName) == 0) {
            return standIn;
        }
    }
    const GetProcAddress getProcAddress = realGetProcAddress();
    return getProcAddress != nullptr ? getProcAddress(name) : nullptr;
}

extern "C" void* glXGetProcAddress(const unsigned char* name)
{
    return glXGetProcAddressARB(name);
}
