# Run by CPack once it has made the Debian packages (CPACK_POST_BUILD_SCRIPTS, set in
# Package.cmake). CPack's DEB generator gives every package with a shared library in /usr/lib a
# postinst and a postrm that only run ldconfig. The library package registers with ldconfig
# through dpkg's trigger instead (its "triggers" control file), so those two scripts are taken
# out again: the package is unpacked with dpkg-deb -R and built anew without them. Scripts that
# do anything else are left alone, and then this fails, so that none is lost unnoticed.
#
# Reads CPACK_PACKAGE_FILES (from CPack) and CPACK_DEBIAN_LIBRARYPACKAGE_PACKAGE_NAME.

# The two scripts as CPack writes them (kept apart from a list: they hold semicolons).
set(_ldconfig_postinst "#!/bin/sh\n\nset -e\n\nif [ \"$1\" = \"configure\" ]; then\n\tldconfig\nfi\n")
set(_ldconfig_postrm "#!/bin/sh\n\nset -e\n\nif [ \"$1\" = \"remove\" ]; then\n\tldconfig\nfi\n")

foreach(_deb IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(_name "${_deb}" NAME)
    if(NOT _name MATCHES "^${CPACK_DEBIAN_LIBRARYPACKAGE_PACKAGE_NAME}_.*\\.deb$")
        continue()
    endif()
    set(_tree "${_deb}.tree")
    file(REMOVE_RECURSE "${_tree}")
    execute_process(COMMAND dpkg-deb -R "${_deb}" "${_tree}" RESULT_VARIABLE _status)
    if(NOT _status EQUAL 0)
        message(FATAL_ERROR "dpkg-deb -R ${_name} failed (${_status})")
    endif()
    foreach(_script postinst postrm)
        set(_file "${_tree}/DEBIAN/${_script}")
        if(NOT EXISTS "${_file}")
            continue()
        endif()
        file(READ "${_file}" _content)
        if(NOT _content STREQUAL _ldconfig_${_script})
            message(FATAL_ERROR "${_name}: the ${_script} that CPack wrote does more than run "
                "ldconfig; it is kept, and this step needs a look:\n${_content}")
        endif()
        file(REMOVE "${_file}")
    endforeach()
    file(REMOVE "${_deb}")
    execute_process(COMMAND dpkg-deb --root-owner-group -b "${_tree}" "${_deb}"
        OUTPUT_QUIET RESULT_VARIABLE _status)
    if(NOT _status EQUAL 0)
        message(FATAL_ERROR "dpkg-deb -b ${_name} failed (${_status})")
    endif()
    file(REMOVE_RECURSE "${_tree}")
endforeach()
