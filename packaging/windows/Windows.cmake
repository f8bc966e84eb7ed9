# The Windows files as they ship (Windows builds only; the top folder includes this before the programs):
#   qbv_windows_file(TARGET DESCRIPTION)   TARGET gets a version resource (the project's version, product and maker,
#                                          DESCRIPTION, its own file name) and, when a certificate is given, an
#                                          Authenticode signature right after it is linked: lk207.dll is thus signed
#                                          before the window embeds it.
#
# Signing, for a release: a PKCS#12 file (QBV_SIGN_PKCS12), or a PEM certificate and key (QBV_SIGN_CERT and
# QBV_SIGN_KEY); each defaults to the environment variable of the same name at the first configuration. The password
# is read at build time, never stored in the cache: from the environment variable QBV_SIGN_PASSWORD, or else from
# the file QBV_SIGN_PASSWORD_FILE. QBV_SIGN_TIMESTAMP_URL (optional) names an RFC 3161 time-stamp server.
# Without a certificate every file stays unsigned and the configuration says so in one line. A missing or wrong
# certificate, key or password stops the build with one line before anything is compiled, and a file that cannot
# be signed is deleted, so that no unsigned file stands where a signed one belongs.
set(QBV_WINDOWS_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(QBV_SIGN_SCRIPT ${QBV_WINDOWS_PACKAGING_DIR}/sign.sh)

foreach(setting IN ITEMS QBV_SIGN_PKCS12 QBV_SIGN_CERT QBV_SIGN_KEY QBV_SIGN_PASSWORD_FILE)
    set(${setting} "$ENV{${setting}}" CACHE FILEPATH "Authenticode signing: see packaging/windows/Windows.cmake")
endforeach()
set(QBV_SIGN_TIMESTAMP_URL "$ENV{QBV_SIGN_TIMESTAMP_URL}" CACHE STRING "RFC 3161 time-stamp server for the signatures")

set(QBV_SIGN_ARGUMENTS)   # sign.sh's options naming the certificate, or empty: unsigned
set(QBV_SIGN_INPUTS)      # the files a signature depends on: a new certificate signs every file again
if(QBV_SIGN_PKCS12)
    set(QBV_SIGN_ARGUMENTS --pkcs12 ${QBV_SIGN_PKCS12})
    set(QBV_SIGN_INPUTS ${QBV_SIGN_PKCS12})
    set(_qbv_signer ${QBV_SIGN_PKCS12})
elseif(QBV_SIGN_CERT OR QBV_SIGN_KEY)
    set(QBV_SIGN_ARGUMENTS --cert "${QBV_SIGN_CERT}" --key "${QBV_SIGN_KEY}")
    set(QBV_SIGN_INPUTS ${QBV_SIGN_CERT} ${QBV_SIGN_KEY})
    set(_qbv_signer "${QBV_SIGN_CERT}")
endif()
if(QBV_SIGN_ARGUMENTS)
    if(QBV_SIGN_PASSWORD_FILE)
        list(APPEND QBV_SIGN_ARGUMENTS --password-file ${QBV_SIGN_PASSWORD_FILE})
    endif()
    if(QBV_SIGN_TIMESTAMP_URL)
        list(APPEND QBV_SIGN_ARGUMENTS --timestamp ${QBV_SIGN_TIMESTAMP_URL})
    endif()
    list(APPEND QBV_SIGN_ARGUMENTS --description ${QBV_PRODUCT_NAME})
    message(STATUS "Authenticode: the Windows files and the MSI are signed with ${_qbv_signer}")
    # The certificate, key and password, checked once at the start of every build, before anything is compiled.
    add_custom_target(authenticode_check
        COMMAND bash ${QBV_SIGN_SCRIPT} ${QBV_SIGN_ARGUMENTS} --check
        COMMENT "Checking the Authenticode certificate, key and password"
        VERBATIM)
else()
    message(STATUS "Authenticode: no certificate given (QBV_SIGN_PKCS12, or QBV_SIGN_CERT and QBV_SIGN_KEY): "
                   "the Windows files and the MSI stay unsigned")
endif()

# A file's signing as a command (empty when unsigned): bash sign.sh OPTIONS FILE.
function(qbv_sign_command file output_variable)
    if(QBV_SIGN_ARGUMENTS)
        set(${output_variable} bash ${QBV_SIGN_SCRIPT} ${QBV_SIGN_ARGUMENTS} ${file} PARENT_SCOPE)
    else()
        set(${output_variable} "" PARENT_SCOPE)
    endif()
endfunction()

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

    qbv_sign_command($<TARGET_FILE:${target}> sign)
    if(sign)
        add_custom_command(TARGET ${target} POST_BUILD COMMAND ${sign} VERBATIM)
        add_dependencies(${target} authenticode_check)
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${QBV_SIGN_INPUTS})
    endif()
endfunction()
