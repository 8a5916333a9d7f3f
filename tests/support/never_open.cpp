// Preloaded into the program under test, this makes every window report that
// it is not open: the one failure a real X server cannot be made to produce.

#include <SFML/Window/Window.hpp>

bool sf::Window::isOpen() const
{
    return false;
}
