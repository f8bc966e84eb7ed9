# The Windows files as they ship (Windows builds only; the top folder includes this before the programs):
#   qbv_windows_file(TARGET DESCRIPTION)   TARGET gets a version resource: the project's version, product and maker,
#                                          DESCRIPTION and its own file name.
set(QBV_WINDOWS_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

function(qbv_windows_file target description)
    get_target_property(type ${target} TYPE)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
        set(name ${target})
    endif()
    if(type STREQUAL "EXECUTABLE")
        set(QBV_FILE_NAME ${name}.exe)
        set(QBV_FILE_TYPE VFT_APP)
    else()
        set(QBV_FILE_NAME ${name}.dll)
        set(QBV_FILE_TYPE VFT_DLL)
    endif()
    set(QBV_FILE_DESCRIPTION "${description}")
    set(QBV_INTERNAL_NAME ${name})
    set(resource ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${QBV_WINDOWS_PACKAGING_DIR}/version.rc.in ${resource} @ONLY)
    target_sources(${target} PRIVATE ${resource})
endfunction()
