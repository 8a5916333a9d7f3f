// The floor: the least any program can spend on sfml-works's frame. It opens
// the same 200 x 200 window and draws the same frame (opaque black clear, a
// green 30-point polygon of radius 100 centred in the window), unthrottled,
// with nothing but Xlib, GLX and OpenGL 1.1, and ends on the window manager's
// close request. It exists only to be measured against.
//
// With --blend it draws the polygon with alpha blending on, as a 2D library
// does for every draw by default. The picture is the same, since the green is
// opaque; the difference in cost is what blending alone costs the renderer.

#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned int windowSize = 200;
constexpr const char* windowTitle = "SFML works!";
constexpr std::size_t pointCount = 30;
constexpr float radius = 100.F;
constexpr double pi = 3.14159265358979323846;
constexpr std::array<GLubyte, 4> green = {0, 255, 0, 255};

// The polygon as a triangle fan: the centre, the 30 points from the top
// clockwise, and the first point again to close it.
struct Point {
    GLfloat x;
    GLfloat y;
};
constexpr std::size_t fanVertices = pointCount + 2;
using Fan = std::array<Point, fanVertices>;
// One colour per vertex: Mesa's software renderer shades a polygon with a
// colour array for fewer instructions than one with a single current colour.
using FanColours = std::array<std::array<GLubyte, 4>, fanVertices>;

Fan makeFan()
{
    Fan fan{};
    fan.front() = {radius, radius};
    for (std::size_t i = 0; i <= pointCount; ++i) {
        const double angle =
            (static_cast<double>(i % pointCount) * 2 * pi / pointCount) - (pi / 2);
        fan.at(i + 1) = {radius + (radius * static_cast<float>(std::cos(angle))),
                         radius + (radius * static_cast<float>(std::sin(angle)))};
    }
    return fan;
}

} // namespace

int main(int argc, char** argv)
{
    const bool blend = argc == 2 && std::strcmp(argv[1], "--blend") == 0;
    if (argc > 1 && !blend) {
        std::fputs("usage: floor [--blend]\n", stderr);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fputs("floor: cannot open the display\n", stderr);
        return 1;
    }
    const int screen = DefaultScreen(display);
    std::array<int, 9> attributes = {
        GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8,
        None};
    XVisualInfo* visual = glXChooseVisual(display, screen, attributes.data());
    if (visual == nullptr) {
        std::fputs("floor: no double-buffered RGB visual\n", stderr);
        return 1;
    }
    const Window root = RootWindow(display, screen);
    XSetWindowAttributes windowAttributes{};
    windowAttributes.colormap = XCreateColormap(display, root, visual->visual, AllocNone);
    windowAttributes.event_mask = StructureNotifyMask | KeyPressMask | KeyReleaseMask |
                                  PointerMotionMask | ButtonPressMask |
                                  ButtonReleaseMask | FocusChangeMask | EnterWindowMask |
                                  LeaveWindowMask;
    const Window window = XCreateWindow(display, root, 0, 0, windowSize, windowSize, 0,
                                        visual->depth, InputOutput, visual->visual,
                                        CWColormap | CWEventMask, &windowAttributes);
    XStoreName(display, window, windowTitle);
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &deleteWindow, 1);
    XMapWindow(display, window);

    GLXContext context = glXCreateContext(display, visual, nullptr, True);
    glXMakeCurrent(display, window, context);
    XFree(visual);

    const Fan fan = makeFan();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, windowSize, windowSize, 0, -1, 1);
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(2, GL_FLOAT, 0, fan.data());
    FanColours colours{};
    colours.fill(green);
    glEnableClientState(GL_COLOR_ARRAY);
    glColorPointer(4, GL_UNSIGNED_BYTE, 0, colours.data());
    if (blend) {
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    }

    bool open = true;
    while (open) {
        while (XPending(display) > 0) {
            XEvent event{};
            XNextEvent(display, &event);
            if (event.type == ClientMessage &&
                static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow) {
                open = false;
            }
            else if (event.type == ConfigureNotify) {
                glViewport(0, 0, event.xconfigure.width, event.xconfigure.height);
            }
        }
        glClearColor(0.F, 0.F, 0.F, 1.F);
        glClear(GL_COLOR_BUFFER_BIT);
        glDrawArrays(GL_TRIANGLE_FAN, 0, static_cast<GLsizei>(fanVertices));
        glXSwapBuffers(display, window);
    }

    glXMakeCurrent(display, None, nullptr);
    glXDestroyContext(display, context);
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    return 0;
}
