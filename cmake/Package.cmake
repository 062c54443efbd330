# Debian packages, made by CPack's DEB generator from the install rules of cmake/Install.cmake
# (scripts/package.sh builds them from a clean tree):
#
#   tallyview_<version>_<arch>.deb            component Window: the window, tallyview-desktop,
#                                             the desktop entry, icons, AppStream metadata
#   tallylog_<version>_<arch>.deb             component Tallylog: tallylog, tallylog-forward,
#                                             tallylog-forward@.service
#   libsystemlog<soversion>_<version>_<arch>.deb   component Library: libsystemlog.so.<soversion>*
#   libsystemlog-dev_<version>_<arch>.deb     component Development: headers, libsystemlog.so,
#                                             the CMake package SystemLog
#
# The version is the project's, the library package's name carries the library's SOVERSION
# (both read here, never written down). Dependencies on other packages come from the binaries
# (dpkg-shlibdeps), plus what they load at run time without linking it (Qt's SQLite driver).
#
# What only a Debian package carries (the copyright file, the changelog, the settings in
# /etc/default that are conffiles, the maintainer scripts) is installed in components of its own,
# "<Component>Debian", excluded from `cmake --install`; each CPack group joins a component and
# its Debian part into one package.

if(NOT TARGET systemlog)
    return()
endif()

get_target_property(TALLYVIEW_SOVERSION systemlog SOVERSION)
set(TALLYVIEW_LIBRARY_PACKAGE "libsystemlog${TALLYVIEW_SOVERSION}")
set(TALLYVIEW_PACKAGE_MAINTAINER "The Tallyview developers <tallyview@example.org>" CACHE STRING
    "Maintainer of the Debian packages (name <address>)")

# --- What only the packages carry --------------------------------------------------------------

# The changelog's entry is dated like the AppStream release (TALLYVIEW_RELEASE_EPOCH, from
# Install.cmake), in the form Debian changelogs take.
if(NOT TALLYVIEW_RELEASE_EPOCH)
    string(TIMESTAMP TALLYVIEW_RELEASE_EPOCH "%s" UTC)
endif()
set(_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} "${TALLYVIEW_RELEASE_EPOCH}")
string(TIMESTAMP TALLYVIEW_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${_saved_epoch}")
unset(_saved_epoch)

set(_deb_dir "${PROJECT_BINARY_DIR}/packaging/debian")
configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in" "${_deb_dir}/changelog" @ONLY)
add_custom_command(OUTPUT "${_deb_dir}/changelog.gz"
    COMMAND gzip -9n -f -k "${_deb_dir}/changelog"
    DEPENDS "${_deb_dir}/changelog" VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS "${_deb_dir}/changelog.gz")

# Component, package name: each package's own documentation directory.
set(_deb_packages
    Window tallyview
    Tallylog tallylog
    Library ${TALLYVIEW_LIBRARY_PACKAGE}
    Development libsystemlog-dev)
set(_deb_groups)
while(_deb_packages)
    list(POP_FRONT _deb_packages _component _package)
    string(TOUPPER "${_component}" _upper)
    install(FILES "${PROJECT_SOURCE_DIR}/packaging/debian/copyright" "${_deb_dir}/changelog.gz"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${_package}"
        COMPONENT ${_component}Debian EXCLUDE_FROM_ALL)
    set(CPACK_COMPONENT_${_upper}_GROUP ${_component}Package)
    set(CPACK_COMPONENT_${_upper}DEBIAN_GROUP ${_component}Package)
    string(TOUPPER "${_component}Package" _group)
    set(CPACK_DEBIAN_${_group}_PACKAGE_NAME "${_package}")
    list(APPEND _deb_groups ${_group})
    list(APPEND CPACK_COMPONENTS_ALL ${_component} ${_component}Debian)
endwhile()

# The settings read from /etc/default: conffiles, kept as the administrator edited them.
install(FILES "${PROJECT_SOURCE_DIR}/packaging/default/tallyview"
    DESTINATION /etc/default COMPONENT WindowDebian EXCLUDE_FROM_ALL)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/default/tallylog-forward"
    DESTINATION /etc/default COMPONENT TallylogDebian EXCLUDE_FROM_ALL)
file(WRITE "${_deb_dir}/tallyview/conffiles" "/etc/default/tallyview\n")
file(WRITE "${_deb_dir}/tallylog/conffiles" "/etc/default/tallylog-forward\n")
# tallylog's maintainer scripts, under the names dpkg gives them.
foreach(_script postinst prerm postrm)
    configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/tallylog.${_script}"
        "${_deb_dir}/tallylog/${_script}" COPYONLY)
endforeach()
# The shared library registers with ldconfig through dpkg's trigger, and has no maintainer
# scripts: those that CPack writes to run ldconfig are taken out once the packages are made.
file(WRITE "${_deb_dir}/library/triggers" "activate-noawait ldconfig\n")

# --- CPack ---------------------------------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallyview)
set(CPACK_PACKAGE_VENDOR "The Tallyview developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${TALLYVIEW_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Absolute destinations (/etc/default) go into the package, not onto this machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library package gets its shlibs file: programs built against it depend on it at least
# at the version they were built with.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/DebDropLdconfigScripts.cmake")
# dpkg-shlibdeps finds libsystemlog in the build tree; the packages that link it name it below.
get_target_property(_systemlog_dir systemlog BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${_systemlog_dir}")
unset(_systemlog_dir)

set(_exact "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_WINDOWPACKAGE_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_WINDOWPACKAGE_PACKAGE_DEPENDS "${TALLYVIEW_LIBRARY_PACKAGE} ${_exact}")
set(CPACK_DEBIAN_WINDOWPACKAGE_PACKAGE_RECOMMENDS "fonts-noto-cjk, qttranslations5-l10n")
set(CPACK_DEBIAN_WINDOWPACKAGE_PACKAGE_SUGGESTS "tallylog, zenity | kdialog | x11-utils")
set(CPACK_DEBIAN_WINDOWPACKAGE_PACKAGE_CONTROL_EXTRA "${_deb_dir}/tallyview/conffiles")
set(CPACK_DEBIAN_WINDOWPACKAGE_DESCRIPTION "viewer of a machine's system log (dbLog.db)
Tallyview lists the records that a machine's programs store in its
system log, an SQLite file named dbLog.db: parameter changes, user
actions, system status, alarms and other information, by category and
day or between two moments. It exports a day's records to a text file,
finds text in listings of millions of records and follows the log while
other programs write to it.

The menu entry opens the log of the directory set in
/etc/default/tallyview.")

set(CPACK_DEBIAN_TALLYLOGPACKAGE_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TALLYLOGPACKAGE_PACKAGE_DEPENDS "${TALLYVIEW_LIBRARY_PACKAGE} ${_exact}")
set(CPACK_DEBIAN_TALLYLOGPACKAGE_PACKAGE_SUGGESTS "systemd-journal-remote | rsyslog")
set(CPACK_DEBIAN_TALLYLOGPACKAGE_PACKAGE_CONTROL_EXTRA
    "${_deb_dir}/tallylog/conffiles" "${_deb_dir}/tallylog/postinst" "${_deb_dir}/tallylog/prerm"
    "${_deb_dir}/tallylog/postrm")
set(CPACK_DEBIAN_TALLYLOGPACKAGE_DESCRIPTION "terminal tool that reads and forwards a machine's system log
tallylog lists, follows, counts, exports and prunes the records of a
Tallyview system log (dbLog.db) from a terminal or a script, as text,
CSV or JSON Lines.

tallylog forward delivers the records into a central log,
systemd-journal-remote or a syslog server, at least once and in order.
The systemd unit tallylog-forward@.service runs it for one directory;
nothing is enabled on installation.")

set(CPACK_DEBIAN_LIBRARYPACKAGE_PACKAGE_SECTION libs)
# The service opens the log through Qt's SQLite driver, a plugin that nothing links.
set(CPACK_DEBIAN_LIBRARYPACKAGE_PACKAGE_DEPENDS "libqt5sql5-sqlite")
set(CPACK_DEBIAN_LIBRARYPACKAGE_PACKAGE_CONTROL_EXTRA "${_deb_dir}/library/triggers")
set(CPACK_DEBIAN_LIBRARYPACKAGE_DESCRIPTION "log service library of Tallyview
The in-process log service that programs use to store their records in
the system log dbLog.db of their working directory, from any thread,
without waiting for the file; and the code that reads the log, for the
viewer Tallyview and the terminal tool tallylog.")

set(CPACK_DEBIAN_DEVELOPMENTPACKAGE_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENTPACKAGE_PACKAGE_DEPENDS "${TALLYVIEW_LIBRARY_PACKAGE} ${_exact}, qtbase5-dev")
set(CPACK_DEBIAN_DEVELOPMENTPACKAGE_DESCRIPTION "log service library of Tallyview - development files
The headers of the log service (qzSysLog.h, OutputHook.h, LogTypes.h
and the others), the link name libsystemlog.so and the CMake package
SystemLog, which a CMake project uses with find_package(SystemLog) and
the target SystemLog::systemlog.")
unset(_exact)

unset(_deb_dir)
unset(_deb_groups)
include(CPack)

# The packaging test needs the variables above, so it is added here, after them.
if(TALLYVIEW_BUILD_TESTS)
    add_subdirectory(tests/packaging)
endif()
