# The Debian package: `cpack -G DEB` in a build folder makes brennick-midi-player_<version>_<arch>.deb
# from what `cmake --install` lays out, under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brennick-midi-player)
set(CPACK_PACKAGE_VENDOR Brennick)
set(CPACK_PACKAGE_CONTACT "Brennick MIDI Player developers <midi-player@brennick.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "play MIDI files on a Brennick synthesizer")
# Debian shows the description as it stands: lines of at most 80 columns, "." between paragraphs.
set(CPACK_PACKAGE_DESCRIPTION
    "A small desktop player for Standard MIDI Files and SysEx dumps made for
Brennick synthesizers. It finds the synth model a file was made for in the
file's Brennick SysEx message, sends the file to the MIDI port (JACK or ALSA
sequencer) whose name carries that model's name, paces SysEx so the synth
keeps up, and shows the progress as a glowing arc around a knob.
.
The package also holds asbd, the command-line tool of the project's
audio-format toolkit.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.brennick.com/midi-player")
# Libraries as dpkg-shlibdeps finds them, and what Qt loads at run time: the platform plugins
# (X11, offscreen), the ICNS reader for the knob picture, and Arial's metric twin.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-image-formats-plugins, fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
# The player sends to whatever MIDI ports there are (a synth on USB appears on the ALSA sequencer
# of any desktop); a JACK server and a software synth are for those who want them.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pipewire-jack | jackd2, fluidsynth, fluid-soundfont-gm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/debian/package_tools.cmake")

# The licence is LICENSE's; the copyright file Debian wants names it and points to the copy every
# Debian system has in /usr/share/common-licenses.
file(STRINGS "${PROJECT_SOURCE_DIR}/LICENSE" _brennick_license_head LIMIT_COUNT 2)
if(NOT _brennick_license_head MATCHES "GNU GENERAL PUBLIC LICENSE;.*Version ([0-9]+),")
  message(FATAL_ERROR "LICENSE is not a GNU General Public License: write cmake/debian/copyright.in for it")
endif()
set(BRENNICK_GPL_VERSION ${CMAKE_MATCH_1})
set(BRENNICK_LICENSE "GPL-${BRENNICK_GPL_VERSION}+")  # "or any later version"
set(BRENNICK_COPYRIGHT "2026 Brennick")
set(_brennick_doc_dir "${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in" "${CMAKE_BINARY_DIR}/debian/copyright" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/debian/copyright" DESTINATION "${_brennick_doc_dir}")

# The changelog's newest entry is this version: a release that forgot it does not configure.
set(_brennick_changelog "${CMAKE_CURRENT_LIST_DIR}/debian/changelog")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_brennick_changelog}")
file(STRINGS "${_brennick_changelog}" _brennick_newest LIMIT_COUNT 1)
if(NOT _brennick_newest MATCHES "^${CPACK_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog: the newest entry is not version ${PROJECT_VERSION}")
endif()
brennick_install_gzipped(SOURCE "${_brennick_changelog}" DESTINATION "${_brennick_doc_dir}")

include(CPack)
