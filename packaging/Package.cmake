# The Debian package (cpack) of the Linux programs: control fields, Debian's documents, hooks for each program's files.
#
# Every program the package carries includes this file from its own CMakeLists.txt (Linux only, any folder, any
# order); cpack's settings are made once, when the top folder's configuration ends, from what the programs added.
#
# Hooks, for each program (qbv-flash uses them in cli/CMakeLists.txt):
#   install(TARGETS NAME RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})   the program itself
#   qbv_package_man_page(PAGE)                  a manual page NAME.SECTION, installed gzip -9n compressed
#   qbv_package_systemd_unit(UNIT [ENABLE])     a systemd unit; ENABLE: enabled and started at the package's install
#   qbv_package_depends(RELATION...)            more entries of Depends, e.g. "libsqlite3-0 (>= 3.40)"
#   qbv_package_require_version(VERSION)        stops the configuration unless packaging/changelog's latest entry is
#                                               VERSION, so that no release lacks its entry
# The package's name, version and history are packaging/changelog's (its latest entry gives the version), and its
# version must be the project's (QBV_VERSION, the top CMakeLists.txt's), as the Windows files' and the MSI's are; its
# text is packaging/description; its copyright file packaging/copyright.
include(GNUInstallDirs)

set(QBV_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(QBV_PACKAGE_NAME qbv-flash)
set(QBV_PACKAGE_MAINTAINER "QBV download tool team <download-tool@qbv-tools.example>")
set(QBV_PACKAGE_SECTION utils)
set(QBV_PACKAGE_PRIORITY optional)
set(QBV_PACKAGE_BASE_DEPENDS "libc6 (>= 2.34)" "libstdc++6 (>= 12)" "libgcc-s1")
set(QBV_PACKAGE_INSTALL_PREFIX /usr)
set(QBV_PACKAGE_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QBV_PACKAGE_NAME})
set(QBV_PACKAGE_UNIT_DIR lib/systemd/system)  # under the prefix: /usr/lib/systemd/system in the package
set(QBV_PACKAGE_GENERATED_DIR ${CMAKE_BINARY_DIR}/packaging)
set(QBV_PACKAGE_SCRIPT_PERMISSIONS  # 0755
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(QBV_PACKAGE_MAINTAINER_SCRIPTS postinst prerm postrm)
# Best compression, and neither the file's name nor its time inside: the same bytes at every build.
set(QBV_PACKAGE_GZIP gzip -9n)

# The latest changelog entry, "qbv-flash (UPSTREAM-REVISION) DISTRIBUTION; urgency=...", names the package and its
# version.
file(STRINGS ${QBV_PACKAGING_DIR}/changelog QBV_PACKAGE_LATEST_ENTRY LIMIT_COUNT 1)
if(NOT QBV_PACKAGE_LATEST_ENTRY MATCHES "^([a-z0-9][a-z0-9.+-]*) \\(([0-9][A-Za-z0-9.+~-]*)-([A-Za-z0-9.+~]+)\\) ")
    message(FATAL_ERROR "packaging/changelog: the first line is not \"${QBV_PACKAGE_NAME} (VERSION-REVISION) ...\": "
                        "${QBV_PACKAGE_LATEST_ENTRY}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL QBV_PACKAGE_NAME)
    message(FATAL_ERROR "packaging/changelog's latest entry is for ${CMAKE_MATCH_1}, "
                        "the package is ${QBV_PACKAGE_NAME}")
endif()
set(QBV_PACKAGE_VERSION ${CMAKE_MATCH_2})
set(QBV_PACKAGE_REVISION ${CMAKE_MATCH_3})

# qbv_package_gzip(SOURCE NAME OUTPUT_VARIABLE): SOURCE compressed at build time into the build folder's
# packaging/NAME.gz, whose path goes to OUTPUT_VARIABLE.
function(qbv_package_gzip source name output_variable)
    set(compressed ${QBV_PACKAGE_GENERATED_DIR}/${name}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${QBV_PACKAGE_GENERATED_DIR}
        COMMAND ${QBV_PACKAGE_GZIP} -c ${source} > ${compressed}
        DEPENDS ${source}
        COMMENT "Compressing ${name} for the package"
        VERBATIM)
    string(MAKE_C_IDENTIFIER "qbv_package_${name}" target)
    add_custom_target(${target} ALL DEPENDS ${compressed})
    set(${output_variable} ${compressed} PARENT_SCOPE)
endfunction()

# qbv_package_man_page(PAGE): the manual page PAGE (NAME.SECTION), compressed, into share/man/manSECTION.
function(qbv_package_man_page page)
    get_filename_component(name ${page} NAME)
    if(NOT name MATCHES "\\.([1-9])$")
        message(FATAL_ERROR "qbv_package_man_page: ${page} does not end in its section (.1 to .9)")
    endif()
    set(section ${CMAKE_MATCH_1})
    qbv_package_gzip(${page} ${name} compressed)
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

# qbv_package_systemd_unit(UNIT [ENABLE]): the systemd unit file UNIT into lib/systemd/system. The package's maintainer
# scripts have systemd reload its units at install and removal and stop them at removal; with ENABLE the unit is also
# enabled and started at install (restarted at an upgrade), and left disabled again by a purge.
function(qbv_package_systemd_unit unit)
    cmake_parse_arguments(PARSE_ARGV 1 arg "ENABLE" "" "")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "qbv_package_systemd_unit: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
    endif()
    get_filename_component(name ${unit} NAME)
    install(FILES ${unit} DESTINATION ${QBV_PACKAGE_UNIT_DIR})
    set_property(GLOBAL APPEND PROPERTY QBV_PACKAGE_UNITS ${name})
    if(arg_ENABLE)
        set_property(GLOBAL APPEND PROPERTY QBV_PACKAGE_ENABLED_UNITS ${name})
    endif()
endfunction()

# qbv_package_depends(RELATION...): more entries of the package's Depends field.
function(qbv_package_depends)
    set_property(GLOBAL APPEND PROPERTY QBV_PACKAGE_DEPENDS ${ARGN})
endfunction()

# qbv_package_require_version(VERSION): the configuration stops unless the package's version is VERSION.
function(qbv_package_require_version version)
    if(NOT version STREQUAL QBV_PACKAGE_VERSION)
        message(FATAL_ERROR "the version is ${version} but packaging/changelog's latest entry is "
                            "${QBV_PACKAGE_VERSION}-${QBV_PACKAGE_REVISION}: add an entry for ${version}-1 on top")
    endif()
endfunction()

# qbv_package_assemble(PACKAGING_DIR): cpack's settings from the constants above and what the programs added; run once,
# at the end of the top folder (a macro, so that cpack's variables are the top folder's).
macro(qbv_package_assemble packaging_dir)
    include(${packaging_dir}/Package.cmake)

    # The description file without its comment lines: the synopsis, then the extended description.
    file(READ ${QBV_PACKAGING_DIR}/description _qbv_description)
    string(REGEX REPLACE "\n#[^\n]*" "" _qbv_description "\n${_qbv_description}")
    string(REGEX REPLACE "^\n" "" _qbv_description "${_qbv_description}")
    string(FIND "${_qbv_description}" "\n" _qbv_synopsis_end)
    string(SUBSTRING "${_qbv_description}" 0 ${_qbv_synopsis_end} _qbv_synopsis)
    math(EXPR _qbv_synopsis_end "${_qbv_synopsis_end} + 1")
    string(SUBSTRING "${_qbv_description}" ${_qbv_synopsis_end} -1 _qbv_extended)

    get_property(_qbv_depends GLOBAL PROPERTY QBV_PACKAGE_DEPENDS)
    list(REMOVE_DUPLICATES _qbv_depends)
    list(JOIN _qbv_depends ", " _qbv_depends)

    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME ${QBV_PACKAGE_NAME})
    set(CPACK_PACKAGE_VERSION ${QBV_PACKAGE_VERSION})
    set(CPACK_DEBIAN_PACKAGE_RELEASE ${QBV_PACKAGE_REVISION})
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # qbv-flash_VERSION-REVISION_ARCH.deb
    set(CPACK_PACKAGING_INSTALL_PREFIX ${QBV_PACKAGE_INSTALL_PREFIX})
    set(CPACK_PACKAGE_CONTACT "${QBV_PACKAGE_MAINTAINER}")
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QBV_PACKAGE_MAINTAINER}")
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${_qbv_synopsis}")
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${_qbv_extended}")  # cpack puts the synopsis on top and indents the rest
    set(CPACK_DEBIAN_PACKAGE_SECTION ${QBV_PACKAGE_SECTION})
    set(CPACK_DEBIAN_PACKAGE_PRIORITY ${QBV_PACKAGE_PRIORITY})
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_qbv_depends}")
    # cpack writes md5sums and Installed-Size by itself; maintainer scripts get 0755 and other control files 0644.
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    set(CPACK_STRIP_FILES ON)

    # Maintainer scripts only when there are units to tell systemd about.
    get_property(_qbv_units GLOBAL PROPERTY QBV_PACKAGE_UNITS)
    if(_qbv_units)
        get_property(_qbv_enabled_units GLOBAL PROPERTY QBV_PACKAGE_ENABLED_UNITS)
        list(JOIN _qbv_units " " QBV_UNITS)
        list(JOIN _qbv_enabled_units " " QBV_ENABLED_UNITS)
        set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA)
        foreach(_qbv_script IN LISTS QBV_PACKAGE_MAINTAINER_SCRIPTS)
            set(_qbv_script_file ${QBV_PACKAGE_GENERATED_DIR}/maintainer-scripts/${_qbv_script})
            configure_file(${QBV_PACKAGING_DIR}/maintainer-scripts/${_qbv_script}.in ${_qbv_script_file}
                           @ONLY FILE_PERMISSIONS ${QBV_PACKAGE_SCRIPT_PERMISSIONS})
            list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_qbv_script_file})
        endforeach()
    endif()

    include(CPack)
endmacro()

# Once per configuration: the documents, the base Depends, and cpack's settings scheduled for the end of the top folder.
get_property(_qbv_package_started GLOBAL PROPERTY QBV_PACKAGE_STARTED)
if(NOT _qbv_package_started)
    set_property(GLOBAL PROPERTY QBV_PACKAGE_STARTED ON)
    qbv_package_require_version(${QBV_VERSION})  # the project's version
    set_property(GLOBAL PROPERTY QBV_PACKAGE_DEPENDS ${QBV_PACKAGE_BASE_DEPENDS})
    install(FILES ${QBV_PACKAGING_DIR}/copyright DESTINATION ${QBV_PACKAGE_DOC_DIR})
    qbv_package_gzip(${QBV_PACKAGING_DIR}/changelog changelog.Debian _qbv_changelog)
    install(FILES ${_qbv_changelog} DESTINATION ${QBV_PACKAGE_DOC_DIR})
    # A deferred call's arguments are read when it runs: EVAL puts this folder's path in now.
    cmake_language(EVAL CODE
        "cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]] CALL qbv_package_assemble [[${QBV_PACKAGING_DIR}]])")
endif()
