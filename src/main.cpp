// sfml-works: proves that windowing, event handling and drawing work on this
// machine. It opens one 200 x 200 window titled "SFML works!", fills it with a
// green circle on opaque black in every frame, and exits with status 0 once the
// window manager asks it to close. It reads no argument, variable or file, and
// prints nothing unless the window cannot be opened or cannot be drawn in.

#include <SFML/Graphics.hpp>

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <locale>

namespace {

// The window: its size, colour depth, title and decorations (title bar,
// resizable border and close button).
constexpr unsigned int windowWidth = 200;
constexpr unsigned int windowHeight = 200;
constexpr unsigned int bitsPerPixel = 32;
constexpr const char* windowTitle = "SFML works!";
constexpr sf::Uint32 windowStyle = sf::Style::Default;

// The OpenGL context, spelled out with the library's default values: no depth,
// stencil or antialiasing, OpenGL 1.1, default attributes. Anything a newer
// library release adds keeps its own default.
constexpr unsigned int depthBits = 0;
constexpr unsigned int stencilBits = 0;
constexpr unsigned int antialiasingLevel = 0;
constexpr unsigned int glMajorVersion = 1;
constexpr unsigned int glMinorVersion = 1;
constexpr unsigned int contextAttributes = sf::ContextSettings::Default;

// The least OpenGL version the library can draw with. A context below it (as
// indirect GLX may give) accepts the window but none of the drawing.
constexpr unsigned int drawableMajorVersion = 1;
constexpr unsigned int drawableMinorVersion = 1;

// The picture: a circle whose diameter is the window's size, so that at the
// initial size it touches all four edges, drawn as a 30-sided polygon.
constexpr float circleRadius = 100.F;
constexpr std::size_t circlePointCount = 30;
constexpr sf::Uint8 clearRed = 0;
constexpr sf::Uint8 clearGreen = 0;
constexpr sf::Uint8 clearBlue = 0;
constexpr sf::Uint8 clearAlpha = 255;

// Exit statuses: the window was shown and closed, or it never opened or could
// not be drawn in.
constexpr int exitClosed = 0;
constexpr int exitFailed = 1;

} // namespace

int main()
{
    // If the X server goes away, the next write to it would raise SIGPIPE and
    // end the program without a word. Ignored, the write fails instead, and
    // Xlib reports the lost connection on stderr and exits with status 1.
    // Windows has no such signal.
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif

    // The title, mode and context settings are temporaries: they are only the
    // window's construction arguments and are released as soon as it exists.
    sf::RenderWindow window(sf::VideoMode(windowWidth, windowHeight, bitsPerPixel),
                            sf::String(windowTitle, std::locale()), windowStyle,
                            sf::ContextSettings(depthBits, stencilBits, antialiasingLevel,
                                                glMajorVersion, glMinorVersion,
                                                contextAttributes));

    // A window that did not open proves nothing works, so say so and fail
    // rather than leave as if it had been shown and closed.
    if (!window.isOpen()) {
        std::fputs("sfml-works: the window could not be opened\n", stderr);
        return exitFailed;
    }

    // The library only warns when the context it got cannot draw, then skips
    // every draw: the window would stay black and a close would still end
    // with status 0. That is a failure too, so say so before any frame.
    const sf::ContextSettings context = window.getSettings();
    if (context.majorVersion < drawableMajorVersion ||
        (context.majorVersion == drawableMajorVersion &&
         context.minorVersion < drawableMinorVersion)) {
        std::fprintf(
            stderr,
            "sfml-works: the window opened, but its OpenGL context (version %u.%u) "
            "cannot draw: drawing needs OpenGL %u.%u\n",
            context.majorVersion, context.minorVersion, drawableMajorVersion,
            drawableMinorVersion);
        return exitFailed;
    }

    sf::CircleShape circle(circleRadius, circlePointCount);
    circle.setFillColor(sf::Color::Green);

    // Unthrottled on purpose: frames follow one another as fast as the
    // display accepts them, which is what shows how well drawing works here.
    sf::Event event{};
    while (window.isOpen()) {
        // Drain every pending event before drawing, so input never piles up.
        // Only the window manager's close request matters: it closes the
        // window at once, and the drain ends when nothing is left to poll.
        while (window.pollEvent(event)) {
            if (event.type == sf::Event::Closed) {
                window.close();
            }
        }

        // The frame is finished even when the window was just closed: the
        // loop's condition is the one place that decides whether to go on,
        // so every frame that was begun is drawn the same way.
        window.clear(sf::Color(clearRed, clearGreen, clearBlue, clearAlpha));
        window.draw(circle, sf::RenderStates::Default);
        window.display();
    }

    return exitClosed;
}
