// xpoke: drives a window as a user and a window manager would, straight
// through Xlib and XTest, for tests that need more events, or events closer
// together, than one command-line tool call each can give.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* usage = "usage: xpoke close|delete|resize|input|hold WINDOW COUNT\n"
                              "  close  send COUNT close requests through the window "
                              "manager, all at once\n"
                              "  delete send WM_DELETE_WINDOW straight to WINDOW, as a "
                              "window manager does, then\n"
                              "         COUNT key presses and pointer motions, all "
                              "flushed together\n"
                              "  resize send COUNT resize requests through the window "
                              "manager, to sizes from 1 x 1 to 2000 x 2000\n"
                              "  input  send at least COUNT input events to WINDOW: keys "
                              "(Escape among them), typed text,\n"
                              "         pointer motion, buttons, wheel, focus out and "
                              "in, pointer leave and enter\n";

// Events are sent in batches, each followed by a round trip to the server, so
// that the queue between the server and the program stays bounded.
constexpr unsigned long syncEvery = 512;
// _NET_CLOSE_WINDOW's source indication: a pager or other direct user action.
constexpr long sourcePager = 2;
// _NET_MOVERESIZE_WINDOW: width and height given, from a pager.
constexpr long moveResizeFlags = (1L << 10) | (1L << 11) | (sourcePager << 12);
constexpr long smallestSize = 1;
constexpr long largestSize = 2000;

bool parseNumber(const char* text, unsigned long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 0);
    return errno == 0 && end != text && *end == '\0';
}

// A request about window to the window manager, as a pager sends it: a
// client message of the given type, to be sent to the root window.
XEvent windowManagerRequest(Display* display, Window window, const char* type)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, type, False);
    event.xclient.format = 32;
    return event;
}

void sendToWindowManager(Display* display, XEvent& event)
{
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

int sendCloseRequests(Display* display, Window window, unsigned long count)
{
    XEvent event = windowManagerRequest(display, window, "_NET_CLOSE_WINDOW");
    event.xclient.data.l[0] = CurrentTime;
    event.xclient.data.l[1] = sourcePager;
    for (unsigned long i = 0; i < count; ++i) {
        sendToWindowManager(display, event);
    }
    XSync(display, False);
    std::printf("sent %lu close requests\n", count);
    return 0;
}

// Once the program has its close request, it may destroy the window before
// the server has delivered all that follows; those sends then fail with
// BadWindow, which is the program doing its job, not an error. Xlib's handler
// type fixes the parameters.
// cppcheck-suppress constParameterCallback
int ignoreBadWindow(Display* /*display*/, XErrorEvent* error)
{
    if (error->error_code != BadWindow) {
        std::fprintf(stderr, "xpoke: X error %d\n", error->error_code);
        std::exit(1);
    }
    return 0;
}

// What a window manager sends to a window when the user closes it, with
// input right behind it in the same flush (for a COUNT small enough to fit
// Xlib's output buffer), so the program finds the close request in one batch
// with other events.
int sendDeleteAndInput(Display* display, Window window, unsigned long count)
{
    XSetErrorHandler(ignoreBadWindow);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] =
        static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);

    XEvent key{};
    key.xkey.type = KeyPress;
    key.xkey.display = display;
    key.xkey.window = window;
    key.xkey.root = DefaultRootWindow(display);
    key.xkey.keycode = XKeysymToKeycode(display, XK_Escape);
    key.xkey.same_screen = True;
    XEvent motion{};
    motion.xmotion.type = MotionNotify;
    motion.xmotion.display = display;
    motion.xmotion.window = window;
    motion.xmotion.root = key.xkey.root;
    motion.xmotion.same_screen = True;
    for (unsigned long i = 0; i < count; ++i) {
        XSendEvent(display, window, False, KeyPressMask, &key);
        motion.xmotion.x = static_cast<int>(i % 200);
        motion.xmotion.y = static_cast<int>(i % 200);
        XSendEvent(display, window, False, PointerMotionMask, &motion);
    }
    XSync(display, False);
    std::printf("sent WM_DELETE_WINDOW and %lu key presses and motions\n", count);
    return 0;
}

int sendResizeRequests(Display* display, Window window, unsigned long count)
{
    XEvent event = windowManagerRequest(display, window, "_NET_MOVERESIZE_WINDOW");
    event.xclient.data.l[0] = moveResizeFlags;
    // Both extremes first, then sizes spread over the whole range by a fixed
    // linear congruential sequence, so every run asks for the same sizes.
    unsigned long state = 1;
    for (unsigned long i = 0; i < count; ++i) {
        long width = largestSize;
        long height = largestSize;
        if (i == 0) {
            width = height = smallestSize;
        }
        else if (i > 1) {
            state = (state * 1103515245UL) + 12345UL;
            width = smallestSize + static_cast<long>((state >> 8) % largestSize);
            state = (state * 1103515245UL) + 12345UL;
            height = smallestSize + static_cast<long>((state >> 8) % largestSize);
        }
        event.xclient.data.l[3] = width;
        event.xclient.data.l[4] = height;
        sendToWindowManager(display, event);
        XSync(display, False);
    }
    std::printf("sent %lu resize requests\n", count);
    return 0;
}

int sendInput(Display* display, Window window, unsigned long count)
{
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, window, &attributes) == 0) {
        std::fputs("xpoke: cannot read the window's attributes\n", stderr);
        return 1;
    }
    int originX = 0;
    int originY = 0;
    Window child = 0;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &originX,
                          &originY, &child);
    const int screenWidth = DisplayWidth(display, DefaultScreen(display));
    const int screenHeight = DisplayHeight(display, DefaultScreen(display));
    const int width = attributes.width;
    const int height = attributes.height;

    const std::string text = "the quick brown fox jumps over the lazy dog";
    const std::array<unsigned int, 5> buttons = {1, 2, 3, 4, 5};
    const KeyCode escape = XKeysymToKeycode(display, XK_Escape);
    const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);

    XSetInputFocus(display, window, RevertToParent, CurrentTime);

    unsigned long sent = 0;
    unsigned long lastSync = 0;
    for (unsigned long round = 0; sent < count; ++round) {
        // Escape and a typed character, every fourth one upper case.
        XTestFakeKeyEvent(display, escape, True, CurrentTime);
        XTestFakeKeyEvent(display, escape, False, CurrentTime);
        const char letter = text[round % text.size()];
        const KeyCode key = XKeysymToKeycode(display, static_cast<KeySym>(letter));
        const bool upper = round % 4 == 0;
        if (upper) {
            XTestFakeKeyEvent(display, shift, True, CurrentTime);
        }
        XTestFakeKeyEvent(display, key, True, CurrentTime);
        XTestFakeKeyEvent(display, key, False, CurrentTime);
        if (upper) {
            XTestFakeKeyEvent(display, shift, False, CurrentTime);
        }
        sent += upper ? 6 : 4;

        // Motion to a point inside the window, then a press and release of a
        // button there (4 and 5 are the wheel).
        const auto step = static_cast<int>(round);
        XTestFakeMotionEvent(display, -1, originX + ((step * 7) % width),
                             originY + ((step * 13) % height), CurrentTime);
        const unsigned int button = buttons[round % buttons.size()];
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
        sent += 3;

        // Now and then the pointer leaves the window and comes back, and the
        // focus goes away and returns.
        if (round % 8 == 0) {
            XTestFakeMotionEvent(display, -1, screenWidth - 1, screenHeight - 1,
                                 CurrentTime);
            XTestFakeMotionEvent(display, -1, originX + (width / 2),
                                 originY + (height / 2), CurrentTime);
            XSetInputFocus(display, None, RevertToNone, CurrentTime);
            XSetInputFocus(display, window, RevertToParent, CurrentTime);
            sent += 4;
        }

        if (sent - lastSync >= syncEvery) {
            XSync(display, False);
            lastSync = sent;
            std::printf("sent %lu input events so far\n", sent);
            std::fflush(stdout);
        }
    }
    XSync(display, False);
    std::printf("sent %lu input events\n", sent);
    return 0;
}

} // namespace

// hold: stand in for a window manager, or a proxy, that takes charge of the
// screen's windows and never shows one: it announces itself as window manager
// "hold" and leaves every request to map a window unanswered, until killed.
int holdWindows(Display* display)
{
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureRedirectMask | SubstructureNotifyMask);
    XSync(display, False);
    const Window check = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
    const Atom supporting = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    const Atom name = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    for (const Window where : {root, check}) {
        XChangeProperty(display, where, supporting, XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&check), 1);
    }
    const std::string holder = "hold";
    XChangeProperty(display, check, name, utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(holder.data()),
                    static_cast<int>(holder.size()));
    XFlush(display);
    std::puts("holding");
    std::fflush(stdout);
    for (XEvent event; XNextEvent(display, &event) == 0;) {
    }
    return 0;
}

int main(int argc, char** argv)
{
    unsigned long windowId = 0;
    unsigned long count = 0;
    if (argc != 4 || !parseNumber(argv[2], windowId) || !parseNumber(argv[3], count)) {
        std::fputs(usage, stderr);
        return 2;
    }
    const std::string command = argv[1];
    if (command != "close" && command != "delete" && command != "resize" &&
        command != "input" && command != "hold") {
        std::fputs(usage, stderr);
        return 2;
    }

    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fputs("xpoke: cannot open the display named by DISPLAY\n", stderr);
        return 1;
    }
    const auto window = static_cast<Window>(windowId);
    int status = 0;
    if (command == "close") {
        status = sendCloseRequests(display, window, count);
    }
    else if (command == "delete") {
        status = sendDeleteAndInput(display, window, count);
    }
    else if (command == "resize") {
        status = sendResizeRequests(display, window, count);
    }
    else if (command == "hold") {
        status = holdWindows(display);
    }
    else {
        int eventBase = 0;
        int errorBase = 0;
        int major = 0;
        int minor = 0;
        if (XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) == 0) {
            std::fputs("xpoke: the X server has no XTest extension\n", stderr);
            status = 1;
        }
        else {
            status = sendInput(display, window, count);
        }
    }
    XCloseDisplay(display);
    return status;
}
