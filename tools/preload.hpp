// Shared by the libraries preloaded into the program under test (the frame
// counter, and the tests' stand-in driver): how they find the real functions
// they stand in front of. Each library gets its own copy, as the C library
// takes RTLD_NEXT from the caller.

#pragma once

#include <atomic>
#include <dlfcn.h>
#include <initializer_list>

namespace preload {
// Internal to each library that includes it; each uses what it needs.
namespace {

using Dlsym = void* (*)(void*, const char*);

// The C library's own dlsym, which the frame counter's dlsym stands in front
// of. Found without the help of anything a sanitizer runtime may intercept,
// as that runtime looks up its own functions through dlsym before it is ready.
[[maybe_unused]] Dlsym libcDlsym()
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

// name in the OpenGL libraries that a loader opened for itself, out of the
// global scope (SFML 2.6 does, where the linker dropped libGL as unneeded);
// nullptr where none of them is loaded or has it.
[[maybe_unused]] void* inOpenedGl(const char* name)
{
    for (const char* library : {"libGL.so.1", "libGLX.so.0", "libOpenGL.so.0"}) {
        void* handle = dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
        if (handle != nullptr) {
            void* found = libcDlsym()(handle, name);
            dlclose(handle);
            if (found != nullptr) {
                return found;
            }
        }
    }
    return nullptr;
}

} // namespace
} // namespace preload
