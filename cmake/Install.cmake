# What `cmake --install` puts where, and the Debian package (cpack -G DEB).
# scripts/check_package.sh checks both.
include(GNUInstallDirs)

# A page's section is its file name's extension: orvel.1 goes to man1.
function(orvel_install_man page)
  get_filename_component(name "${page}" NAME)
  string(REGEX MATCH "[1-9]$" section "${name}")
  if(NOT section)
    message(FATAL_ERROR "orvel_install_man: ${page} has no section number")
  endif()
  install(FILES "${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
endfunction()

# Programs and their manual pages: one line each.
install(TARGETS orvel RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
orvel_install_man("${PROJECT_SOURCE_DIR}/docs/man/orvel.1")
install(TARGETS orvel-analyze RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
orvel_install_man("${PROJECT_SOURCE_DIR}/docs/man/orvel-analyze.1")

# The desktop: entry, icons, AppStream metadata, all named by the application id.
set(ORVEL_APP_ID org.orvel.Orvel)
install(FILES "${PROJECT_SOURCE_DIR}/data/${ORVEL_APP_ID}.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${PROJECT_SOURCE_DIR}/data/${ORVEL_APP_ID}.metainfo.xml"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")
install(FILES "${PROJECT_SOURCE_DIR}/data/icons/${ORVEL_APP_ID}.svg"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
foreach(size 48 128 256)
  install(FILES "${PROJECT_SOURCE_DIR}/data/icons/${size}x${size}/${ORVEL_APP_ID}.png"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps")
endforeach()

# The pictures keep their folder, so the README's links to docs/*.png work
# where it is installed.
install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/LICENSE"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}")
file(GLOB ORVEL_DOC_PICTURES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/docs/*.png")
file(GLOB ORVEL_DOC_PAGES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/docs/*.md")
install(FILES ${ORVEL_DOC_PAGES} DESTINATION "${CMAKE_INSTALL_DOCDIR}/docs")
install(FILES ${ORVEL_DOC_PICTURES} DESTINATION "${CMAKE_INSTALL_DOCDIR}/docs")

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvel)
set(CPACK_PACKAGE_VENDOR "The Orvel developers")
set(CPACK_PACKAGE_CONTACT "The Orvel developers <dev@orvel.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find the pitch of a note and measure echo delay with JACK")
set(CPACK_PACKAGE_DESCRIPTION
"Orvel is a desktop tool for acoustic measurement and tone analysis, a JACK
client with a Qt window. It reads the pitch of a note on a grid of
1/256 of a semitone, measures echo delay and latency by correlating what it
plays with what comes back, generates noise and tones, and plays the notes
it detects as MIDI. orvel-analyze runs the same analysis on sound files,
without a display or a sound server, and prints its results as JSON or CSV.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://orvel.org/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://orvel.org/")
# dpkg-shlibdeps (dpkg-dev) names the libraries' packages: libjack, Qt, libc,
# and libsndfile and libsoxr for orvel-analyze.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libjack only talks to a server; without one Orvel can show nothing but its
# "NO AUDIO" box. jackd2 comes first, so apt picks the plain JACK server on a
# system that has none; a PipeWire desktop already has its own, reached
# through pipewire-jack (run `pw-jack orvel`, or install PipeWire's
# ld.so.conf.d snippet for libjack); jack-daemon lets jackd1 do as well.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "jackd2 | pipewire-jack | jack-daemon")
include(CPack)
