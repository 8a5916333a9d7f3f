// Preloaded into the program under test, this makes every window report that
// it is not open: the one failure a real X server cannot be made to produce.
// SFML 2.6 moved the query from sf::Window to its new base, sf::WindowBase.

#include <SFML/Config.hpp>

#if SFML_VERSION_MAJOR == 2 && SFML_VERSION_MINOR >= 6
#include <SFML/Window/WindowBase.hpp>
using QueriedWindow = sf::WindowBase;
#else
#include <SFML/Window/Window.hpp>
using QueriedWindow = sf::Window;
#endif

// It replaces the library's member function, so it cannot be made static.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
bool QueriedWindow::isOpen() const
{
    return false;
}
