# Installation: the viewer as a desktop program, and the log service as a CMake package that
# outside projects use with
#
#   find_package(SystemLog REQUIRED)
#   target_link_libraries(app PRIVATE SystemLog::systemlog)
#
# Layout under the prefix (GNU directories; libdir is "lib" except for a /usr prefix on a
# multiarch system):
#   bin/Tallyview
#   bin/tallylog                                the command-line reader of the log
#   libexec/tallylog/tallylog-forward           what `tallylog forward` runs (Qt Network)
#   lib/systemd/system/tallylog-forward@.service  forwarding a directory's log (tallylog forward)
#   share/applications/tallyview.desktop
#   share/pixmaps/tallyview.png                 the window icon
#   lib/libsystemlog.so*                        the log service
#   include/systemlog/*.h                       its public headers (included as "qzSysLog.h"
#                                               or as <systemlog/qzSysLog.h>)
#   lib/cmake/SystemLog/SystemLog{Config,ConfigVersion,Targets*}.cmake
#
# Components: "Runtime" (program, desktop entry, icon, shared library) and "Development"
# (headers, the library's link name and the package files).

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SYSTEMLOG_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/SystemLog")
set(SYSTEMLOG_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/systemlog")

# The headers that code using the log service includes are the files of
# systemlog/include/systemlog/, and only those (SYSTEMLOG_PUBLIC_HEADERS, read from that folder
# by systemlog/CMakeLists.txt): they include one another and nothing else of systemlog/. The
# store, the side file, the SQLite layer and the reading code of tallylog stay inside the
# library (scripts/check-install.sh checks both).

# --- The program -----------------------------------------------------------------------------

if(TARGET Tallyview)
    # The installed program finds the installed libsystemlog next to it, whatever the prefix
    # (also one chosen only at install time with "cmake --install --prefix"): the run path is
    # relative to the program's own directory.
    file(RELATIVE_PATH _tallyview_bin_to_lib
         "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
    set_target_properties(Tallyview PROPERTIES INSTALL_RPATH "$ORIGIN/${_tallyview_bin_to_lib}")

    install(TARGETS Tallyview
        RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime
    )

    # tallylog goes beside it and finds the library the same way.
    if(TARGET tallylog)
        set_target_properties(tallylog PROPERTIES
            INSTALL_RPATH "$ORIGIN/${_tallyview_bin_to_lib}")
        install(TARGETS tallylog
            RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime
        )
        file(RELATIVE_PATH _forwarder_to_lib
             "/prefix/${CMAKE_INSTALL_LIBEXECDIR}/tallylog" "/prefix/${CMAKE_INSTALL_LIBDIR}")
        set_target_properties(tallylog-forward PROPERTIES
            INSTALL_RPATH "$ORIGIN/${_forwarder_to_lib}")
        unset(_forwarder_to_lib)
        install(TARGETS tallylog-forward
            RUNTIME DESTINATION "${CMAKE_INSTALL_LIBEXECDIR}/tallylog" COMPONENT Runtime
        )
        # The forwarding service names the installed program, under the prefix given at install
        # time. systemd reads units from lib/systemd/system under /usr and /usr/local (not from a
        # multiarch libdir).
        install(CODE "
            set(TALLYLOG_INSTALLED \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tallylog\")
            configure_file(\"${PROJECT_SOURCE_DIR}/packaging/tallylog-forward@.service.in\"
                           \"${PROJECT_BINARY_DIR}/packaging/tallylog-forward@.service\" @ONLY)
            file(INSTALL \"${PROJECT_BINARY_DIR}/packaging/tallylog-forward@.service\"
                 DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
            " COMPONENT Runtime)
    endif()
    unset(_tallyview_bin_to_lib)

    # The desktop entry names the icon "tallyview". The icon is 281 x 281 pixels, a size that
    # has no directory in the hicolor theme (whose fixed-size directories must hold images of
    # exactly that size), so it goes to share/pixmaps, where the icon lookup accepts any size.
    install(FILES "${PROJECT_SOURCE_DIR}/packaging/tallyview.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications" COMPONENT Runtime
    )
    install(FILES "${PROJECT_SOURCE_DIR}/Resources/Log.png"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/pixmaps" RENAME tallyview.png COMPONENT Runtime
    )
endif()

# --- The log service library and its package -------------------------------------------------

# The target's own include directory for installed users is include/systemlog (set beside the
# target), where the headers below go.
install(TARGETS systemlog EXPORT SystemLogTargets
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
        COMPONENT Runtime
        NAMELINK_COMPONENT Development
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime
)

install(FILES ${SYSTEMLOG_PUBLIC_HEADERS}
    DESTINATION "${SYSTEMLOG_INSTALL_INCLUDEDIR}" COMPONENT Development
)

install(EXPORT SystemLogTargets
    NAMESPACE SystemLog::
    FILE SystemLogTargets.cmake
    DESTINATION "${SYSTEMLOG_INSTALL_CMAKEDIR}"
    COMPONENT Development
)

configure_package_config_file(
    "${PROJECT_SOURCE_DIR}/cmake/SystemLogConfig.cmake.in"
    "${PROJECT_BINARY_DIR}/cmake/SystemLogConfig.cmake"
    INSTALL_DESTINATION "${SYSTEMLOG_INSTALL_CMAKEDIR}"
)
# The library's interface changes only with the major version (it is also its SOVERSION).
write_basic_package_version_file(
    "${PROJECT_BINARY_DIR}/cmake/SystemLogConfigVersion.cmake"
    VERSION "${PROJECT_VERSION}"
    COMPATIBILITY SameMajorVersion
)
install(FILES
    "${PROJECT_BINARY_DIR}/cmake/SystemLogConfig.cmake"
    "${PROJECT_BINARY_DIR}/cmake/SystemLogConfigVersion.cmake"
    DESTINATION "${SYSTEMLOG_INSTALL_CMAKEDIR}"
    COMPONENT Development
)
