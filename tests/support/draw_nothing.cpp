// Preloaded into the program under test, this stands in for an OpenGL driver
// that accepts every call but draws nothing, as some remote and virtual
// machines' drivers do: the library's draw calls come here and are dropped,
// so the window stays black. No driver that really does this can be had here.

// The library calls these through the OpenGL library's own symbols, which a
// preloaded definition takes the place of.
extern "C" void glDrawArrays(unsigned int /*mode*/, int /*first*/, int /*count*/) {}
extern "C" void glDrawElements(unsigned int /*mode*/, int /*count*/,
                               unsigned int /*type*/, const void* /*indices*/)
{
}
