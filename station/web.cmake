# web.cmake: qbv-station's web side, the library qbv_station_web: the HTTP server (Debian's cpp-httplib, whose
# implementation is the shared library libcpp-httplib) and the page, whose files are built into it by WebEmbed.cmake.
find_package(PkgConfig REQUIRED)
pkg_check_modules(QBV_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
find_package(Threads REQUIRED)

set(QBV_WEB_PAGE_DIR ${CMAKE_CURRENT_LIST_DIR}/page)
set(QBV_WEB_PAGE_FILES index.html history.html station.css common.js station.js history.js)
set(QBV_WEB_GENERATED ${CMAKE_CURRENT_BINARY_DIR}/web-generated)
list(TRANSFORM QBV_WEB_PAGE_FILES PREPEND ${QBV_WEB_PAGE_DIR}/ OUTPUT_VARIABLE qbv_web_page_paths)
list(JOIN QBV_WEB_PAGE_FILES "," qbv_web_page_list)
add_custom_command(
    OUTPUT ${QBV_WEB_GENERATED}/WebPageFiles.h
    COMMAND ${CMAKE_COMMAND} -DPAGE_DIR=${QBV_WEB_PAGE_DIR} -DPAGE_FILES=${qbv_web_page_list}
            -DOUTPUT=${QBV_WEB_GENERATED}/WebPageFiles.h -P ${CMAKE_CURRENT_LIST_DIR}/WebEmbed.cmake
    DEPENDS ${qbv_web_page_paths} ${CMAKE_CURRENT_LIST_DIR}/WebEmbed.cmake
    COMMENT "Building the station's page into WebPageFiles.h"
    VERBATIM)

add_library(qbv_station_web STATIC
    ${CMAKE_CURRENT_LIST_DIR}/WebServer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/WebEvents.cpp
    ${CMAKE_CURRENT_LIST_DIR}/WebAccess_posix.cpp
    ${CMAKE_CURRENT_LIST_DIR}/WebPage.cpp
    ${QBV_WEB_GENERATED}/WebPageFiles.h)
target_include_directories(qbv_station_web PUBLIC ${CMAKE_CURRENT_LIST_DIR} PRIVATE ${QBV_WEB_GENERATED})
target_link_libraries(qbv_station_web PUBLIC qbv_cli_libs PkgConfig::QBV_HTTPLIB Threads::Threads
                      qbv_station_metrics PRIVATE qbv_trust qbv_units)
