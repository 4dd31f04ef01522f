# Installation and the Debian package.
#
#   cmake --install build --prefix /some/prefix
#     PREFIX/lib/cgi-bin/revozi.cgi            the payment module
#     PREFIX/lib/cgi-bin/korven-sandbox.cgi    the payment sandbox
#     PREFIX/bin/kwtdata, PREFIX/bin/revozi-setkey
#     PREFIX/share/doc/revozi/                 README and deployment examples
#   cd build && cpack -G DEB                   revozi_VERSION_amd64.deb

set(REVOZI_CGI_DIR "lib/cgi-bin" CACHE STRING "Install directory of the CGI programs, under the prefix")

install(TARGETS revozi_cgi DESTINATION ${REVOZI_CGI_DIR} COMPONENT revozi)
if(TARGET korven_sandbox)
  install(TARGETS korven_sandbox DESTINATION ${REVOZI_CGI_DIR} COMPONENT revozi)
endif()
foreach(tool kwtdata revozi_setkey)
  if(TARGET ${tool})
    install(TARGETS ${tool} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT revozi)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT revozi)
if(EXISTS ${PROJECT_SOURCE_DIR}/deploy)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/deploy/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT revozi)
endif()

set(CPACK_PACKAGE_NAME "revozi")
set(CPACK_PACKAGE_VENDOR "Revozi")
set(CPACK_PACKAGE_CONTACT "maintainers@revozi.example")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "payment module CGI: hands shoppers over to the card-payment server")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_SECTION "web")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "amd64")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The programs are static; name resolution loads the C library's NSS modules
# at run time, so the package needs the C library it was built against.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36)")
set(CPACK_GENERATOR "DEB")
include(CPack)
