# The Debian package "pellamar": everything the install rules put under the prefix, with
# its dependencies read from the binaries by dpkg-shlibdeps (dpkg-dev). Made by
# `cpack -G DEB` in the build folder; scripts/build-deb.sh does all of it.
set(CPACK_PACKAGE_NAME pellamar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Pellamar developers")
set(CPACK_PACKAGE_CONTACT "The Pellamar developers <pellamar@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://pellamar.example.org/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small desktop DNS lookup tool")
# Debian's control file has one Description field, in English; the Spanish text follows
# the English one in the same field, as the program's window is in Spanish.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Pellamar asks one DNS server one question at a time and lists the mail
servers, hosts, name servers and aliases that the answer holds. It can also
list the DNS servers this machine is configured to use.

The package holds the window, pellamar (Qt 6), and its command-line
companion, pellamar-cli, which prints the same lines in a terminal.

Pellamar hace una consulta a un servidor DNS y muestra los servidores de
correo, hosts, servidores de nombres y alias que trae la respuesta. También
muestra los servidores DNS que usa este equipo. El paquete contiene la
ventana, pellamar, y la orden pellamar-cli, que imprime lo mismo en una
terminal.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # pellamar_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time when a name (libidn2), a signature or TLS (libgnutls30) or HTTP/2
# (libnghttp2) needs them, so the library scan cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libidn2-0 (>= 2.2), libgnutls30 (>= 3.7.4), libnghttp2-14 (>= 1.43)")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
# Qt's own words (dialog buttons) in Spanish; the window works in English without them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information stays in the build folder, not in the package.
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
