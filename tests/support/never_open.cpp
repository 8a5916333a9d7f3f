// Preloaded into the program under test, this makes every window report that
// it is not open: the one failure a real X server cannot be made to produce.

#include <SFML/Window/Window.hpp>

// It replaces the library's member function, so it cannot be made static.
bool sf::Window::isOpen() const // NOLINT(readability-convert-member-functions-to-static)
{
    return false;
}
