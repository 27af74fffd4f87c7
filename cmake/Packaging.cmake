# Installation rules and the Debian packages (CPack).
#
# `cmake --install build --prefix DIR` puts both programs in DIR/bin and the README in
# DIR/share/doc/updater. The updater works in the folder it lies in, so DIR/bin/updater is a copy
# to be placed at the top of an application's installation, not a command to run where it lies.
#
# `cpack` (scripts/package.sh) makes two packages from the same tree:
#   updater-publish  /usr/bin/updater-publish, what a publisher installs on a build server;
#   updater          /usr/lib/updater/updater, the program an application's installation copies
#                    beside itself. It is kept off the PATH: started from /usr/bin it would take
#                    /usr/bin for an installation and write its log/ folder there.
# Their dependencies come from the libraries the programs link (dpkg-shlibdeps). CPack packs
# what is built, and builds nothing itself: build the two programs first (scripts/package.sh
# does), so that packaging does not wait for every test program.
include(GNUInstallDirs)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Components: `publish` and `updater` make a plain installation; `updater_package` is the
# updater's place in its package, installed only when asked for by name (as CPack does).
install(TARGETS updater-publish RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT publish)
install(TARGETS updater RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT updater)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT updater)

# lib/updater whatever the prefix: a program folder of its own, the same in every package.
install(TARGETS updater RUNTIME DESTINATION lib/updater
        COMPONENT updater_package EXCLUDE_FROM_ALL)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/updater
        COMPONENT updater_package EXCLUDE_FROM_ALL)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/updater-publish
        COMPONENT publish EXCLUDE_FROM_ALL)

set(UPDATER_PACKAGE_MAINTAINER "updater maintainers" CACHE STRING
    "Maintainer field of the Debian packages (name <address>)")

set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VENDOR "updater")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_GENERATOR DEB)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL publish updater_package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${UPDATER_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_PUBLISH_PACKAGE_NAME updater-publish)
set(CPACK_DEBIAN_PUBLISH_PACKAGE_SECTION devel)
# The first line of each description is its summary.
set(CPACK_DEBIAN_PUBLISH_DESCRIPTION
    "publishing tool of the graphical updater
updater-publish writes the UpdateCfg.xml of a release folder (paths, sizes, MD5 and SHA-256
of every file), signs it with an Ed25519 key and refuses what the updater would refuse.")

set(CPACK_DEBIAN_UPDATER_PACKAGE_PACKAGE_NAME updater)
set(CPACK_DEBIAN_UPDATER_PACKAGE_DESCRIPTION
    "graphical updater for a desktop application
/usr/lib/updater/updater compares an installation's configuration with a newly placed one,
downloads the changed files over HTTP with a progress window, keeps the replaced copies and
starts the application again. It works in the folder it lies in: copy it to the top of the
application's installation.")

include(CPack)
