# Installation layout and the Debian package (cmake --build <dir> --target package).
install(TARGETS quoxel RUNTIME DESTINATION sbin)
install(FILES ${CMAKE_SOURCE_DIR}/examples/quickstart.ini DESTINATION /etc/quoxel RENAME quoxel.ini)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/quoxel.service DESTINATION /lib/systemd/system)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION share/doc/quoxel/examples)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/deploy/ DESTINATION share/doc/quoxel/deploy)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/OPERATIONS.md
              ${CMAKE_SOURCE_DIR}/docs/DEPLOYMENT.md DESTINATION share/doc/quoxel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quoxel)
set(CPACK_PACKAGE_VERSION 3.1.3)
set(CPACK_PACKAGE_CONTACT "quoxel maintainers <quoxel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "forwarding proxy server: SOCKS5 and HTTP, many ports and users")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The configuration is the operator's: an upgrade asks before replacing an edited file.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/conffiles)
include(CPack)

# Builds the package (Release, its own tree) and installs it under throw-away overlays; scripts/test
# runs it on its own after the other tests.
add_test(NAME package COMMAND ${CMAKE_SOURCE_DIR}/scripts/package-test)
set_tests_properties(package PROPERTIES TIMEOUT 900 LABELS package)
