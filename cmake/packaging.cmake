# Installation and the Debian package.
#
#   cmake --install build --prefix /some/prefix
#     PREFIX/lib/revozi/revozi.cgi             the payment module
#     PREFIX/lib/revozi/korven-sandbox.cgi     the payment sandbox (test hosts only)
#     PREFIX/bin/kwtdata, PREFIX/bin/revozi-setkey
#     PREFIX/share/man/man1/                   their manual pages
#     PREFIX/share/doc/revozi/                 README, docs/, copyright, changelog, deployment examples
#   with the prefix /usr only (the package):
#     /etc/revozi/kwtinfos.txt                 the example options file (a conffile, 0640)
#     /usr/share/lintian/overrides/revozi      the package's lintian overrides
#     /usr/lib/systemd/system/revozi-ping.*    the ping health check (a timer, off until enabled)
#     /usr/lib/tmpfiles.d/revozi.conf          /run/revozi, the server memory (www-data, 0700)
#   cd build && cpack -G DEB                   revozi_VERSION_amd64.deb
#
# The CGI programs go to a directory of their own that no web server runs
# programs from: a site copies or links the module into its own cgi-bin,
# beside its options file, and only a test host ever installs the sandbox.

set(REVOZI_PROGRAM_DIR "lib/revozi" CACHE STRING
    "Install directory of revozi.cgi and korven-sandbox.cgi, under the prefix")
set(REVOZI_DEBIAN_DIR ${PROJECT_SOURCE_DIR}/cmake/debian)

install(TARGETS revozi_cgi DESTINATION ${REVOZI_PROGRAM_DIR} COMPONENT revozi)
if(TARGET korven_sandbox)
  install(TARGETS korven_sandbox DESTINATION ${REVOZI_PROGRAM_DIR} COMPONENT revozi)
endif()
foreach(tool kwtdata revozi_setkey)
  if(TARGET ${tool})
    install(TARGETS ${tool} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT revozi)
  endif()
endforeach()

# Manual pages and the changelog are installed compressed (gzip -9n: no name,
# no time stamp, so that a rebuild gives the same bytes).
function(revozi_gzip source target)
  set(out ${CMAKE_BINARY_DIR}/packaging/${target})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
  execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${out} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot compress ${source}")
  endif()
endfunction()

foreach(page revozi.cgi kwtdata revozi-setkey korven-sandbox.cgi)
  revozi_gzip(${PROJECT_SOURCE_DIR}/man/${page}.1 ${page}.1.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${page}.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT revozi)
endforeach()

# The changelog's newest entry names the version being packaged.
file(STRINGS ${REVOZI_DEBIAN_DIR}/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^revozi \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog starts with '${changelog_head}': "
                      "add an entry for version ${PROJECT_VERSION}")
endif()
# A package whose version has no Debian revision is native: its changelog
# is changelog.gz.
revozi_gzip(${REVOZI_DEBIAN_DIR}/changelog changelog.gz)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${REVOZI_DEBIAN_DIR}/copyright
              ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT revozi)
# The manual's pages, where the README's links to docs/ find them.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        COMPONENT revozi FILES_MATCHING PATTERN "*.md")
if(EXISTS ${PROJECT_SOURCE_DIR}/deploy)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/deploy/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT revozi)
endif()
# Only for the prefix /usr, i.e. the package: the options file in /etc/revozi,
# outside every directory a web server serves (0640: the group that the
# programs run as is given by the merchant, dpkg-statoverride), and the
# lintian overrides, which mean nothing elsewhere.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    file(INSTALL \"${PROJECT_SOURCE_DIR}/deploy/kwtinfos.txt\" DESTINATION /etc/revozi
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
    file(INSTALL \"${PROJECT_SOURCE_DIR}/deploy/systemd/revozi-ping.service\"
                 \"${PROJECT_SOURCE_DIR}/deploy/systemd/revozi-ping.timer\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(INSTALL \"${PROJECT_SOURCE_DIR}/deploy/systemd/revozi.conf\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(INSTALL \"${REVOZI_DEBIAN_DIR}/lintian-overrides\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides\" RENAME revozi)
  endif()" COMPONENT revozi)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "/etc/revozi/kwtinfos.txt\n")

set(CPACK_PACKAGE_NAME "revozi")
set(CPACK_PACKAGE_VENDOR "the REVOZI.CGI authors")
set(CPACK_PACKAGE_CONTACT "REVOZI.CGI maintainers <maintainers@revozi.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "payment module CGI: hands shoppers over to the card-payment server")
# The extended description, under the summary line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "revozi.cgi is a small CGI program that a merchant's web site runs for every
order: it validates the order's parameters, finds a payment server that
accepts connections and writes the page that posts the scrambled payment
data to it.

The programs are installed in /usr/lib/revozi, where no web server runs
them: copy or link revozi.cgi into the site's own cgi-bin directory, beside
its options file. korven-sandbox.cgi, a stand-in for the payment server, is
for test hosts only and must never be served on a production site.

Also included: kwtdata, which builds or reads a payment data block, and
revozi-setkey, which writes a merchant key into a copy of the module.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Installed with DESTDIR under the prefix /usr itself, so that the package's
# own files (above) are chosen, /etc included.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SECTION "web")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "amd64")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# The programs are static and load nothing at run time (the module resolves
# names with its own resolver, not the C library's name-service modules): the
# package depends on no other.
set(CPACK_GENERATOR "DEB")
include(CPack)
