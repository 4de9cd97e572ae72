# The installed layout, the manual pages, and the Debian package (cpack -G DEB).
# The program looks for FirFilter.fib beside its real executable, so the program, the filter tool and
# the default bank live together in lib/zoriq1; bin/ holds relative links to the two executables.
set(ZQ_INSTALL_PKGLIBDIR lib/zoriq1)

set(zq_pkg_dir ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${zq_pkg_dir}/bin ${zq_pkg_dir}/man ${zq_pkg_dir}/doc)
foreach(exe zoriq1 zoriq1-filter)
  file(RELATIVE_PATH link_target /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${ZQ_INSTALL_PKGLIBDIR}/${exe})
  file(CREATE_LINK ${link_target} ${zq_pkg_dir}/bin/${exe} SYMBOLIC)
  install(FILES ${zq_pkg_dir}/bin/${exe} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# Compressed as Debian wants them; man reads them so as well.
set(zq_gz_files)
function(zq_gzip source output)
  add_custom_command(OUTPUT ${output}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${output}
    COMMAND gzip -9nf ${output}
    DEPENDS ${source} VERBATIM)
  set(zq_gz_files ${zq_gz_files} ${output}.gz PARENT_SCOPE)
endfunction()
foreach(page zoriq1.1 zoriq1-filter.1)
  zq_gzip(${PROJECT_SOURCE_DIR}/docs/man/${page} ${zq_pkg_dir}/man/${page})
  install(FILES ${zq_pkg_dir}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The package's own documents: copyright and change log.
# The maintainer is a role; the project has no domain yet, so the address is on a reserved one.
set(ZQ_PACKAGE_MAINTAINER "ZORIQ1 maintainers <maintainers@zoriq1.invalid>" CACHE STRING "Maintainer of the Debian package")
string(TIMESTAMP ZQ_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${zq_pkg_dir}/changelog.in @ONLY)
zq_gzip(${zq_pkg_dir}/changelog.in ${zq_pkg_dir}/doc/changelog)
add_custom_target(packaging_files ALL DEPENDS ${zq_gz_files})
install(FILES ${zq_pkg_dir}/doc/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zoriq1)

set(CPACK_PACKAGE_NAME zoriq1)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZQ_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live FIR filtering of the sound card's input")
# Lines of at most 80 characters, as Debian asks.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "ZORIQ1 captures mono 16-bit sound at 11025 samples per second, passes every"
  "block of 2048 samples through a FIR filter (from a bank of named filters or a"
  "coefficient file) and plays the result about 372 ms later, optionally writing"
  "it to a WAV file. Live magnitude spectra of input and output show the filter"
  "at work. It is meant for teaching and trying out filters."
  "The companion tool zoriq1-filter designs, checks and lists filter files and"
  "applies a filter to a sound file offline, exactly as the program would.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
