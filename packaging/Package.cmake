# Manual pages, the copyright file and the changelog for `cmake --install`, and the Debian
# package that `cpack -G DEB` makes from the same install rules (scripts/package runs it from a
# clean build folder with Debian's compiler and linker flags).

set(pkg_src ${PROJECT_SOURCE_DIR}/packaging)
set(pkg_out ${PROJECT_BINARY_DIR}/packaging)
set(pkg_man_pages sonavel.1 sonavel-start.1)
if(TARGET sonavel-modem)
  list(APPEND pkg_man_pages sonavel-modem.1)
endif()

# Debian wants manual pages and changelogs compressed with gzip -9 and without a time stamp.
set(pkg_gzipped)
foreach(page IN LISTS pkg_man_pages)
  configure_file(${pkg_src}/${page}.in ${pkg_out}/${page} @ONLY)
endforeach()
configure_file(${pkg_src}/changelog ${pkg_out}/changelog COPYONLY)
foreach(file IN LISTS pkg_man_pages ITEMS changelog)
  add_custom_command(OUTPUT ${pkg_out}/${file}.gz
    COMMAND gzip -9nkf ${file}
    DEPENDS ${pkg_out}/${file}
    WORKING_DIRECTORY ${pkg_out}
    VERBATIM)
  list(APPEND pkg_gzipped ${pkg_out}/${file}.gz)
endforeach()
add_custom_target(sonavel_docs ALL DEPENDS ${pkg_gzipped})

list(TRANSFORM pkg_man_pages APPEND .gz OUTPUT_VARIABLE pkg_man_gz)
list(TRANSFORM pkg_man_gz PREPEND ${pkg_out}/)
install(FILES ${pkg_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${pkg_src}/copyright ${pkg_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/sonavel)

# A stripped install (as the package's) also drops the compilers' version notes, as Debian's
# own strip step does.
set(pkg_programs sonavel)
if(TARGET sonavel-modem)
  list(APPEND pkg_programs sonavel-modem)
endif()
foreach(program IN LISTS pkg_programs)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()")
endforeach()

# Folders the install makes get the usual modes whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(SONAVEL_PACKAGE_MAINTAINER "Sonavel developers <sonavel@example.org>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sonavel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${SONAVEL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SONAVEL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# The libraries come from dpkg-shlibdeps. The built-in synthesizer loads
# /usr/share/sounds/sf2/default-GM.sf2, which both sound font packages provide (an alternative
# each registers). The windows are Japanese: without a font that covers Japanese every caption
# is a row of boxes, so one comes with the program even where Recommends are not installed
# (fonts-japanese-gothic is provided by the IPA, VL, Takao and other Gothic faces; the program
# takes whichever fontconfig prefers). The synthesizer's sound goes to PipeWire or PulseAudio.
# A JACK server is not needed (libjack alone, from shlibdeps, lets the program use one that
# runs): offered as a suggestion, PipeWire's first, so apt never puts jackd2 with its debconf
# question on a desktop that runs PipeWire.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "timgm6mb-soundfont | fluid-soundfont-gm, fonts-noto-cjk | fonts-japanese-gothic")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pipewire-jack | jackd2")

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "play MIDI together with a distant musician over a serial line")
file(READ ${pkg_src}/description CPACK_PACKAGE_DESCRIPTION)
string(STRIP "${CPACK_PACKAGE_DESCRIPTION}" CPACK_PACKAGE_DESCRIPTION)

include(CPack)
