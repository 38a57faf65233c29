# Installation (cmake --install) and the Debian package (cpack -G DEB, `make package`).
#
# Paths follow GNUInstallDirs. Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package or a
# system install: the configuration file then goes to /etc/fipgate, the library directory is
# Debian's multiarch one, which is where Wireshark looks for global Lua plugins. The default
# prefix, /usr/local, suits a hand-made install on a gateway PC.
include(GNUInstallDirs)

set(FIPGATE_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "systemd system unit directory, relative to the install prefix")
set(FIPGATE_WIRESHARK_PLUGIN_DIR "${CMAKE_INSTALL_LIBDIR}/wireshark/plugins" CACHE STRING
    "Wireshark's global plugin directory (Lua plugins sit at its top), relative to the prefix")
set(FIPGATE_PRIVATE_LIB_DIR "${CMAKE_INSTALL_LIBDIR}/fipgate")

# Absolute: with the /usr prefix this is /etc, never /usr/etc.
set(FIPGATE_CONF_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/fipgate")
set(FIPGATE_CONF "${FIPGATE_CONF_DIR}/fipgate.conf")
set(FIPGATE_SBIN "${CMAKE_INSTALL_FULL_SBINDIR}")
# The forking unit's LogsDirectory=; log rotation looks there.
set(FIPGATE_LOG_DIR "/var/log/fipgate")
set(FIPGATE_LOGROTATE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/fipgate")
set(FIPGATE_BIN "${CMAKE_INSTALL_FULL_BINDIR}")

set(FIPGATE_PACKAGE_MAINTAINER "fipgate maintainers <maintainers@users.noreply.c-seed-a6645a75.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(packaging_dir ${CMAKE_SOURCE_DIR}/packaging)
set(generated_dir ${CMAKE_BINARY_DIR}/packaging)
# The template units run one gateway per card and one recorder per port (systemctl enable
# fipgate@1 fipdump@57118).
set(FIPGATE_UNITS fipgate.service fipgate-forking.service fipgate@.service fipdump@.service)
foreach(unit ${FIPGATE_UNITS})
    configure_file(${packaging_dir}/systemd/${unit}.in ${generated_dir}/systemd/${unit} @ONLY)
endforeach()
configure_file(${packaging_dir}/debian/conffiles.in ${generated_dir}/debian/conffiles @ONLY)
configure_file(${packaging_dir}/logrotate/fipgate.in ${generated_dir}/logrotate/fipgate @ONLY)

# Debian wants manual pages compressed without a time stamp, so that rebuilds are identical.
# The pages carry the version from project(VERSION).
set(man_outputs "")
foreach(name fipgate.8 fipdump.1)
    set(page ${generated_dir}/man/${name})
    configure_file(${packaging_dir}/man/${name}.in ${page} @ONLY)
    add_custom_command(OUTPUT ${generated_dir}/man/${name}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${generated_dir}/man
        COMMAND gzip -9nc ${page} > ${generated_dir}/man/${name}.gz
        DEPENDS ${page} VERBATIM)
    list(APPEND man_outputs ${generated_dir}/man/${name}.gz)
endforeach()
# A native package's change log, which dpkg tools and lintian expect beside the documentation.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${generated_dir}/debian/changelog
    "fipgate (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}.\n\n"
    " -- ${FIPGATE_PACKAGE_MAINTAINER}  ${changelog_date}\n")
add_custom_command(OUTPUT ${generated_dir}/debian/changelog.gz
    COMMAND gzip -9nc ${generated_dir}/debian/changelog > ${generated_dir}/debian/changelog.gz
    DEPENDS ${generated_dir}/debian/changelog VERBATIM)
add_custom_target(fipgate_man ALL DEPENDS ${man_outputs} ${generated_dir}/debian/changelog.gz)

install(TARGETS fipgate RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET fipdump)
    install(TARGETS fipdump RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# A test and training aid, loaded by hand with LD_PRELOAD: out of the linker's search path so
# that nothing picks it up by accident.
if(TARGET capvane-sim)
    install(TARGETS capvane-sim LIBRARY DESTINATION ${FIPGATE_PRIVATE_LIB_DIR})
endif()
# The compiled Wireshark plugin goes where the Wireshark it was built against loads plugins from;
# the Lua dissector then stays beside the documentation, for other Wireshark versions: in a plugin
# folder it would only step aside for the compiled one at every start.
if(TARGET fipgate_wireshark_plugin)
    install(TARGETS fipgate_wireshark_plugin LIBRARY DESTINATION ${FIPGATE_WIRESHARK_EPAN_DIR})
    install(FILES ${CMAKE_SOURCE_DIR}/wireshark/fipgate.lua
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fipgate/wireshark)
    # For a build tree: the plugin into this user's personal folder (Wireshark 4.0 loads it from
    # there when not run as root).
    # HOME is read when the target runs, not when the build was configured.
    add_custom_target(install-wireshark-plugin-user
        COMMAND sh -c "dir=\"$HOME/.local/lib/wireshark/plugins/$1/epan\" && mkdir -p \"$dir\" && cp \"$2\" \"$dir/\" && echo \"installed $dir/fipgate.so\""
            sh ${FIPGATE_WIRESHARK_ABI} $<TARGET_FILE:fipgate_wireshark_plugin>
        DEPENDS fipgate_wireshark_plugin
        VERBATIM)
elseif(EXISTS ${CMAKE_SOURCE_DIR}/wireshark/fipgate.lua)
    install(FILES ${CMAKE_SOURCE_DIR}/wireshark/fipgate.lua
        DESTINATION ${FIPGATE_WIRESHARK_PLUGIN_DIR})
endif()
install(FILES ${generated_dir}/man/fipgate.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${generated_dir}/man/fipdump.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
list(TRANSFORM FIPGATE_UNITS PREPEND ${generated_dir}/systemd/ OUTPUT_VARIABLE unit_files)
install(FILES ${unit_files} DESTINATION ${FIPGATE_SYSTEMD_UNIT_DIR})
install(FILES ${packaging_dir}/fipgate.conf DESTINATION ${FIPGATE_CONF_DIR})
install(FILES ${generated_dir}/logrotate/fipgate DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${packaging_dir}/fipgate.conf
    ${generated_dir}/debian/changelog.gz ${packaging_dir}/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${packaging_dir}/grafana/fipgate-dashboard.json
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/grafana)
# Alert rules for Prometheus's rule_files: data, not documentation, so that a Prometheus
# configuration can name them where they stay current with the package.
install(FILES ${packaging_dir}/prometheus/fipgate-alerts.yml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/fipgate/prometheus)

# Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fipgate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "fipgate")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FIP fieldbus capture card to UDP broadcast gateway")
# cpack puts the summary line first and indents these lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "fipgate reads the traffic of a FIP fieldbus (IEC 61158 type 7) from a Capvane
PCI capture card and broadcasts every captured frame record, batched, in UDP
datagrams, with lifesign records carrying the gateway's health statistics.
.
The package holds the daemon and its systemd units, the fipdump receiver and
decoder, a Wireshark dissector and a simulated capture card for tests and
training.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${FIPGATE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Runtime dependencies (Boost, libpcap, the C++ runtime) from the binaries themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The units' ExecReload runs /bin/kill, which minimal systems may lack.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps")
# Wireshark loads a plugin only into the major.minor version it was built for: the library it
# links must stay within that series.
if(TARGET fipgate_wireshark_plugin)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS
        ", ${FIPGATE_WIRESHARK_PACKAGE} (>= ${FIPGATE_WIRESHARK_ABI}), "
        "${FIPGATE_WIRESHARK_PACKAGE} (<< ${FIPGATE_WIRESHARK_NEXT_ABI})")
endif()
# The log rotation configuration is only read where logrotate is installed.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
# The private library directory is not a place for dpkg-shlibdeps to look for providers.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_FULL_LIBDIR}/fipgate)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wireshark, tshark")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${generated_dir}/debian/conffiles
    ${packaging_dir}/debian/postinst
    ${packaging_dir}/debian/prerm
    ${packaging_dir}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The package installs under the configured prefix, and /etc stays /etc: install through
# DESTDIR rather than by moving the prefix.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
