# Debian packages from this build (cpack -G DEB, or the "package" target):
#   libkorvane1     the shared library (SONAME libkorvane.so.1)
#   libkorvane-dev  header, libkorvane.so link, static library, CMake package, pkg-config files
#   korvane-host    the program, its man page, /etc/korvane, the systemd unit
#   korvane-lab     the lab servers and client, for testing against them
# Included last from the top-level CMakeLists.txt, once every target exists.
if(NOT TARGET korvane OR NOT TARGET korvane-host)
  return()
endif()

include(GNUInstallDirs)
get_target_property(KORVANE_PACKAGE_VERSION korvane VERSION)
set(_packaging ${CMAKE_CURRENT_LIST_DIR}/packaging)
set(_host ${PROJECT_SOURCE_DIR}/tools/korvane-host/packaging)

set(_components libkorvane1 libkorvane-dev korvane-host)
if(TARGET korvane-lab AND TARGET korvane-lab-client)
  list(APPEND _components korvane-lab)
  install(TARGETS korvane-lab korvane-lab-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT korvane-lab)
  install(FILES ${PROJECT_SOURCE_DIR}/lab/lab.json ${PROJECT_SOURCE_DIR}/lab/lab-ipv6.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/korvane-lab COMPONENT korvane-lab)
  install(FILES ${PROJECT_SOURCE_DIR}/lab/README.md
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/korvane-lab COMPONENT korvane-lab)
  set(_lab_man ${_packaging}/korvane-lab.1 ${_packaging}/korvane-lab-client.1)
endif()

# The program and what a service needs around it. The example configuration
# holds an access key, so only root reads it; the unit hands it to the
# service as a credential.
install(TARGETS korvane-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT korvane-host)
install(FILES ${_host}/host.json DESTINATION /etc/korvane
  PERMISSIONS OWNER_READ OWNER_WRITE COMPONENT korvane-host)
install(FILES ${_host}/korvane-host.default DESTINATION /etc/default RENAME korvane-host
  COMPONENT korvane-host)
install(FILES ${_host}/korvane-host.service DESTINATION /lib/systemd/system COMPONENT korvane-host)

# Every package carries its copyright file, a compressed changelog and the
# lintian tags it keeps, each with its reason.
configure_file(${_packaging}/changelog ${CMAKE_BINARY_DIR}/packaging/changelog.Debian @ONLY)
set(_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${_changelog}
  COMMAND gzip -n -9 -c ${CMAKE_BINARY_DIR}/packaging/changelog.Debian > ${_changelog}
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.Debian)
add_custom_target(korvane_changelog ALL DEPENDS ${_changelog})
foreach(c ${_components})
  install(FILES ${_packaging}/copyright ${_changelog}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${c} COMPONENT ${c})
  install(FILES ${_packaging}/lintian-overrides/${c}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT ${c})
endforeach()

# Man pages go in compressed, as Debian wants them.
set(_man_outputs)
foreach(page ${_host}/korvane-host.1 ${_lab_man})
  get_filename_component(_name ${page} NAME)
  set(_gz ${CMAKE_BINARY_DIR}/packaging/${_name}.gz)
  add_custom_command(OUTPUT ${_gz} COMMAND gzip -n -9 -c ${page} > ${_gz} DEPENDS ${page})
  list(APPEND _man_outputs ${_gz})
  if(_name STREQUAL "korvane-host.1")
    set(_c korvane-host)
  else()
    set(_c korvane-lab)
  endif()
  install(FILES ${_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${_c})
endforeach()
add_custom_target(korvane_man_pages ALL DEPENDS ${_man_outputs})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${KORVANE_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvane developers")
set(CPACK_PACKAGE_CONTACT "Korvane maintainers <maintainers@korvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Korvane network SDK")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://korvane.invalid/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# CPack writes the shlibs file for every package with a shared object in it;
# only libkorvane1 has one: "libkorvane 1 libkorvane1 (>= VERSION)".
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg-shlibdeps finds libkorvane.so.1 in the staged library package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/korvane-${KORVANE_PACKAGE_VERSION}-Linux/libkorvane1/usr/${CMAKE_INSTALL_LIBDIR})
set(_full_version "${KORVANE_PACKAGE_VERSION}-1")

set(CPACK_DEBIAN_LIBKORVANE1_PACKAGE_NAME libkorvane1)
set(CPACK_DEBIAN_LIBKORVANE1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBKORVANE1_DESCRIPTION "Korvane network SDK - shared library
 Reach your own back end through local ports: the SDK registers with a
 control API, picks the best relay switch and carries local TCP connections
 and UDP flows through a tunnel that survives switch failures.")
set(CPACK_DEBIAN_LIBKORVANE1_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/triggers)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBKORVANE1_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LIBKORVANE-DEV_PACKAGE_NAME libkorvane-dev)
set(CPACK_DEBIAN_LIBKORVANE-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBKORVANE-DEV_PACKAGE_DEPENDS "libkorvane1 (= ${_full_version}), libmbedtls-dev")
set(CPACK_DEBIAN_LIBKORVANE-DEV_DESCRIPTION "Korvane network SDK - development files
 The C header, the static library with every internal library bundled,
 the CMake package (find_package(Korvane)) and pkg-config files for
 building applications on the Korvane SDK.")

set(CPACK_DEBIAN_KORVANE-HOST_PACKAGE_NAME korvane-host)
set(CPACK_DEBIAN_KORVANE-HOST_PACKAGE_DEPENDS "libkorvane1 (= ${_full_version})")
set(CPACK_DEBIAN_KORVANE-HOST_DESCRIPTION "Korvane host service
 Runs the Korvane SDK as a system service: local ports on 127.0.0.1 reach
 a back end through relay switches. Comes with a systemd unit (dynamic
 user, state in /var/lib/korvane, readiness and reload) and serves
 Prometheus metrics on the loopback interface.")
# Files under /etc are the administrator's: dpkg keeps their changes.
set(CPACK_DEBIAN_KORVANE-HOST_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/tools/korvane-host/packaging/conffiles
  ${PROJECT_SOURCE_DIR}/tools/korvane-host/packaging/postinst
  ${PROJECT_SOURCE_DIR}/tools/korvane-host/packaging/prerm
  ${PROJECT_SOURCE_DIR}/tools/korvane-host/packaging/postrm)
set(CPACK_DEBIAN_KORVANE-HOST_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_KORVANE-LAB_PACKAGE_NAME korvane-lab)
set(CPACK_DEBIAN_KORVANE-LAB_DESCRIPTION "Korvane lab servers for testing
 The other side of the wire for tests and demos: a control API, relay
 switches with fault modes and echo, source and sink back ends, all on
 loopback addresses, plus a client that drives traffic through them.")

include(CPack)
