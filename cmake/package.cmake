# A Debian package of the installed agent: `cpack -G DEB` in a build folder (or
# `cmake --build <build> --target package`). The libraries it depends on are those
# the executable links (see ldd); zsh and sudo run its commands.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmor-mopet-agent)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_VENDOR "Velmor Home")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Velmor Mopet child agent: keeps the family's rules on this computer")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velmor Home <support@velmorhome.so>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1, libcurl4 (>= 7.88), libplist3 (>= 2.2), libssl3 (>= 3.0), zlib1g, libglib2.0-0 (>= 2.74), libgeoclue-2-0 (>= 2.6), libidn2-0 (>= 2.3), zsh, sudo")
# The desktop's location service, only suggested: the agent works without it (location
# services are off), and recommending it would pull in its own recommendations (a modem
# manager, Wi-Fi and mDNS daemons) on every install.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "geoclue-2.0")
include(CPack)
