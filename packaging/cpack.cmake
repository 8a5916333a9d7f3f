# The Debian package, made with CPack from the release build: cmake --build
# --preset release --target package, or scripts/package. Its library
# dependencies are computed (dpkg-shlibdeps); the tools the checker runs are
# listed, so that apt install ./sfml-works_*.deb on a bare system brings all
# that sfml-works-check --headless needs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sfml-works)
set(CPACK_PACKAGE_VENDOR "sfml-works maintainers")
set(CPACK_PACKAGE_CONTACT "Seed 368fccf4 maintainers <maintainers@users.noreply.c-seed-368fccf4.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3, python3-numpy, python3-pil, xvfb, openbox, x11-utils, wmctrl, imagemagick, mesa-utils, libgl1-mesa-dri, libx11-6")
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check that windows, events and OpenGL drawing work")
# CPack puts the summary first and indents these lines under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
sfml-works opens one window titled "SFML works!" and draws a green circle
in it through SFML 2, until the window is closed. sfml-works-check runs it
on this machine's display, or on a private Xvfb display, judges every pixel
of the window and of the frame drawn, counts the frames per second, closes
the window, and says in one line that it works, or what failed and what to
do, with the same facts as JSON and, on request, a JUnit report.]=])
include(CPack)
