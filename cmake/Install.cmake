# Installation: the viewer as a desktop program, and the log service as a CMake package that
# outside projects use with
#
#   find_package(SystemLog REQUIRED)
#   target_link_libraries(app PRIVATE SystemLog::systemlog)
#
# Layout under the prefix (GNU directories; libdir is "lib" except for a /usr prefix on a
# multiarch system):
#   bin/Tallyview
#   bin/tallyview-desktop                       what the desktop entry runs: Tallyview in the
#                                               log directory of /etc/default/tallyview
#   bin/tallylog                                the command-line reader of the log
#   libexec/tallylog/tallylog-forward           what `tallylog forward` runs (Qt Network)
#   lib/systemd/system/tallylog-forward@.service  forwarding a directory's log (tallylog forward)
#   share/applications/tallyview.desktop
#   share/pixmaps/tallyview.png                 the window icon, 281 x 281
#   share/icons/hicolor/NxN/apps/tallyview.png  the icon at the theme's sizes, 16 to 256
#   share/metainfo/<id>.metainfo.xml            AppStream metadata of the window
#   share/man/manN/*.N.gz                       the manual pages of docs/man
#   share/bash-completion/completions/tallylog  when cli/completion/tallylog.bash exists
#   lib/libsystemlog.so*                        the log service
#   include/systemlog/*.h                       its public headers (included as "qzSysLog.h"
#                                               or as <systemlog/qzSysLog.h>)
#   lib/cmake/SystemLog/SystemLog{Config,ConfigVersion,Targets*}.cmake
#
# Components, one per Debian package (cmake/Package.cmake): "Window" (the window, its launcher,
# desktop entry, icons and metadata), "Tallylog" (tallylog, tallylog-forward, the unit),
# "Library" (the shared library) and "Development" (headers, the library's link name and the
# package files). `cmake --install build --component Window` installs one of them.

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
        RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Window
    )
    install(PROGRAMS "${PROJECT_SOURCE_DIR}/packaging/tallyview-desktop"
        DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Window
    )

    # tallylog goes beside it and finds the library the same way.
    if(TARGET tallylog)
        set_target_properties(tallylog PROPERTIES
            INSTALL_RPATH "$ORIGIN/${_tallyview_bin_to_lib}")
        install(TARGETS tallylog
            RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Tallylog
        )
        file(RELATIVE_PATH _forwarder_to_lib
             "/prefix/${CMAKE_INSTALL_LIBEXECDIR}/tallylog" "/prefix/${CMAKE_INSTALL_LIBDIR}")
        set_target_properties(tallylog-forward PROPERTIES
            INSTALL_RPATH "$ORIGIN/${_forwarder_to_lib}")
        unset(_forwarder_to_lib)
        install(TARGETS tallylog-forward
            RUNTIME DESTINATION "${CMAKE_INSTALL_LIBEXECDIR}/tallylog" COMPONENT Tallylog
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
            " COMPONENT Tallylog)
    endif()
    unset(_tallyview_bin_to_lib)

    # The desktop entry names the icon "tallyview". The icon is 281 x 281 pixels, a size that
    # has no directory in the hicolor theme (whose fixed-size directories must hold images of
    # exactly that size), so it goes to share/pixmaps, where the icon lookup accepts any size.
    install(FILES "${PROJECT_SOURCE_DIR}/packaging/tallyview.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications" COMPONENT Window
    )
    install(FILES "${PROJECT_SOURCE_DIR}/Resources/Log.png"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/pixmaps" RENAME tallyview.png COMPONENT Window
    )
    # The same drawing at the fixed sizes of the hicolor theme, each drawn at its own size by
    # scripts/make_icon.py --hicolor (committed, so that building needs no drawing step).
    install(DIRECTORY "${PROJECT_SOURCE_DIR}/packaging/icons/hicolor"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons" COMPONENT Window
        FILES_MATCHING PATTERN "tallyview.png"
    )

    # AppStream metadata, for software centres. The id names the project the way AppStream
    # wants (reverse domain name); the release is this version, dated by the source's date
    # (SOURCE_DATE_EPOCH when set, else the last commit's date in a git checkout, else today).
    set(TALLYVIEW_APPSTREAM_ID "io.github.tallyview.Tallyview" CACHE STRING
        "AppStream id of the window (metainfo file name)")
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        set(TALLYVIEW_RELEASE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
    else()
        execute_process(COMMAND git -C "${PROJECT_SOURCE_DIR}" log -1 --format=%ct
            OUTPUT_VARIABLE TALLYVIEW_RELEASE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE _git_status ERROR_QUIET)
        if(NOT _git_status EQUAL 0 OR NOT TALLYVIEW_RELEASE_EPOCH MATCHES "^[0-9]+$")
            string(TIMESTAMP TALLYVIEW_RELEASE_EPOCH "%s" UTC)
        endif()
        unset(_git_status)
    endif()
    # string(TIMESTAMP) formats the moment SOURCE_DATE_EPOCH names.
    set(_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
    set(ENV{SOURCE_DATE_EPOCH} "${TALLYVIEW_RELEASE_EPOCH}")
    string(TIMESTAMP TALLYVIEW_RELEASE_DATE "%Y-%m-%d" UTC)
    set(ENV{SOURCE_DATE_EPOCH} "${_saved_epoch}")
    unset(_saved_epoch)
    # The screenshots of docs/ in the metadata. AppStream takes a screenshot only as a web
    # address (appstreamcli validate rejects a path), so they are listed when the address of
    # the published docs/ directory is given, each with its size read from its PNG header.
    set(TALLYVIEW_SCREENSHOT_URL "" CACHE STRING
        "Web address (http or https) where docs/*.png are published, for the AppStream screenshots; empty: none listed")
    set(TALLYVIEW_APPSTREAM_SCREENSHOTS "")
    if(TALLYVIEW_SCREENSHOT_URL)
        if(NOT TALLYVIEW_SCREENSHOT_URL MATCHES "^https?://[^/ ]+")
            message(FATAL_ERROR "TALLYVIEW_SCREENSHOT_URL is not an http(s) address: ${TALLYVIEW_SCREENSHOT_URL}")
        endif()
        string(REGEX REPLACE "/+$" "" _shot_base "${TALLYVIEW_SCREENSHOT_URL}")
        set(_shots
            screenshot.png default "A day's system status records"
            window-million.png extra "A day of a million records, searched for a word")
        string(APPEND TALLYVIEW_APPSTREAM_SCREENSHOTS "\n  <screenshots>")
        while(_shots)
            list(POP_FRONT _shots _file _type _caption)
            # The PNG header: width and height as 32-bit big-endian numbers at bytes 16 and 20.
            file(READ "${PROJECT_SOURCE_DIR}/docs/${_file}" _header OFFSET 16 LIMIT 8 HEX)
            string(SUBSTRING "${_header}" 0 8 _width)
            string(SUBSTRING "${_header}" 8 8 _height)
            math(EXPR _width "0x${_width}")
            math(EXPR _height "0x${_height}")
            if(_type STREQUAL "default")
                set(_attribute " type=\"default\"")
            else()
                set(_attribute "")
            endif()
            string(APPEND TALLYVIEW_APPSTREAM_SCREENSHOTS "
    <screenshot${_attribute}>
      <caption>${_caption}</caption>
      <image type=\"source\" width=\"${_width}\" height=\"${_height}\">${_shot_base}/${_file}</image>
    </screenshot>")
        endwhile()
        string(APPEND TALLYVIEW_APPSTREAM_SCREENSHOTS "
  </screenshots>")
        unset(_shot_base)
        unset(_header)
        unset(_width)
        unset(_height)
        unset(_attribute)
    endif()
    configure_file("${PROJECT_SOURCE_DIR}/packaging/tallyview.metainfo.xml.in"
        "${PROJECT_BINARY_DIR}/packaging/${TALLYVIEW_APPSTREAM_ID}.metainfo.xml" @ONLY)
    install(FILES "${PROJECT_BINARY_DIR}/packaging/${TALLYVIEW_APPSTREAM_ID}.metainfo.xml"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo" COMPONENT Window
    )
endif()

# --- Manual pages and shell completion -------------------------------------------------------

# Every page of docs/man (name.N, section N), gzipped as Debian ships them (gzip -n: no name or
# time in the header, so the same page gives the same bytes). tallylog's pages go with tallylog,
# the others with the window. A page is named as its program (Tallyview.1); man finds it under
# either case (man-db looks names up ignoring case).
file(GLOB _man_pages CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/docs/man/*.[1-8]")
set(_man_outputs)
file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/man")
foreach(_page IN LISTS _man_pages)
    get_filename_component(_name "${_page}" NAME)
    string(REGEX REPLACE ".*\\.([1-8])$" "\\1" _section "${_name}")
    set(_gz "${PROJECT_BINARY_DIR}/man/${_name}.gz")
    add_custom_command(OUTPUT "${_gz}"
        COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh "${_page}" "${_gz}"
        DEPENDS "${_page}" VERBATIM)
    list(APPEND _man_outputs "${_gz}")
    if(_name MATCHES "^tallylog")
        set(_component Tallylog)
    else()
        set(_component Window)
    endif()
    install(FILES "${_gz}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${_section}"
        COMPONENT ${_component})
endforeach()
if(_man_outputs)
    add_custom_target(man_pages ALL DEPENDS ${_man_outputs})
endif()
unset(_man_pages)
unset(_man_outputs)

# bash looks completions up by the command's name.
file(GLOB _completion CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/cli/completion/tallylog.bash")
if(_completion AND TARGET tallylog)
    install(FILES "${_completion}" DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions"
        RENAME tallylog COMPONENT Tallylog)
endif()
unset(_completion)

# --- The log service library and its package -------------------------------------------------

# The target's own include directory for installed users is include/systemlog (set beside the
# target), where the headers below go.
install(TARGETS systemlog EXPORT SystemLogTargets
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
        COMPONENT Library
        NAMELINK_COMPONENT Development
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Library
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
