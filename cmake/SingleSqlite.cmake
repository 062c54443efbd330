# The log service calls SQLite's own interface on the connection that Qt's SQLite driver opened
# (batch inserts, reading rows, moving records between files). That is sound only when the driver
# and the service use one and the same SQLite library: with two copies in one process, each keeps
# its own record of the POSIX locks it holds, and closing a file in one copy drops the locks that
# the other copy holds on it, which breaks SQLite's locking between programs sharing dbLog.db.
#
# This check finds the driver plugin that the build's Qt loads at run time and stops the build
# unless it links the very SQLite library (same shared-object name) that the service links.
# A driver built with Qt's bundled SQLite carries a copy of its own and is refused.

function(systemlog_check_single_sqlite sqlite_library)
    get_target_property(_qmake Qt5::qmake IMPORTED_LOCATION)
    execute_process(COMMAND "${_qmake}" -query QT_INSTALL_PLUGINS
        OUTPUT_VARIABLE _plugins OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _rc)
    find_file(SYSTEMLOG_QSQLITE_PLUGIN NAMES libqsqlite.so
        PATHS "${_plugins}/sqldrivers" NO_DEFAULT_PATH)
    if(NOT SYSTEMLOG_QSQLITE_PLUGIN)
        message(FATAL_ERROR "Qt's SQLite driver (sqldrivers/libqsqlite.so under '${_plugins}') "
            "was not found. Install it (Debian: libqt5sql5-sqlite).")
    endif()
    find_program(SYSTEMLOG_READELF NAMES readelf "${CMAKE_READELF}")
    if(NOT SYSTEMLOG_READELF)
        message(FATAL_ERROR "readelf (binutils) is needed to check which SQLite the Qt driver uses.")
    endif()

    execute_process(COMMAND "${SYSTEMLOG_READELF}" -d "${SYSTEMLOG_QSQLITE_PLUGIN}"
        OUTPUT_VARIABLE _plugin_dynamic)
    get_filename_component(_real "${sqlite_library}" REALPATH)
    execute_process(COMMAND "${SYSTEMLOG_READELF}" -d "${_real}" OUTPUT_VARIABLE _lib_dynamic)
    string(REGEX MATCH "\\(SONAME\\)[^[]*\\[([^]]+)\\]" _m "${_lib_dynamic}")
    set(_soname "${CMAKE_MATCH_1}")
    string(REGEX MATCHALL "\\(NEEDED\\)[^[]*\\[[^]]+\\]" _needed "${_plugin_dynamic}")
    set(_driver_sqlite "")
    foreach(_entry IN LISTS _needed)
        if(_entry MATCHES "\\[(libsqlite[^]]*)\\]")
            set(_driver_sqlite "${CMAKE_MATCH_1}")
        endif()
    endforeach()

    if(NOT _driver_sqlite)
        message(FATAL_ERROR "Qt's SQLite driver ${SYSTEMLOG_QSQLITE_PLUGIN} carries its own copy "
            "of SQLite (it links no libsqlite3). The log service uses SQLite directly on the "
            "driver's connections, which needs one SQLite library in the process: two copies "
            "break SQLite's file locking. Use a Qt SQLite driver built against the system SQLite "
            "(Qt's -system-sqlite, as Debian's libqt5sql5-sqlite is).")
    endif()
    if(NOT _driver_sqlite STREQUAL _soname)
        message(FATAL_ERROR "Qt's SQLite driver ${SYSTEMLOG_QSQLITE_PLUGIN} links "
            "${_driver_sqlite}, but the log service links ${_real} (${_soname}). Both must use "
            "one SQLite library: two copies in one process break SQLite's file locking.")
    endif()
    message(STATUS "One SQLite in the process: Qt's driver and the log service both use ${_soname}")
endfunction()
