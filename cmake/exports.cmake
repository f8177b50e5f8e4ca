# The exported functions, listed once in resources/QDp_FW_FirstUpdater.def: the
# Windows executable exports them through the .def itself; from the same list come
# the Linux library's version script and the names the tests look for.
file(STRINGS ${CMAKE_SOURCE_DIR}/resources/QDp_FW_FirstUpdater.def QDP_DEF_LINES)
set(QDP_EXPORTS "")
foreach(line IN LISTS QDP_DEF_LINES)
    string(STRIP "${line}" line)
    if(line AND NOT line STREQUAL "EXPORTS" AND NOT line MATCHES "^;")
        list(APPEND QDP_EXPORTS ${line})
    endif()
endforeach()

set(QDP_EXPORT_MAP ${CMAKE_BINARY_DIR}/generated/exports.map)
list(JOIN QDP_EXPORTS ";\n        " QDP_EXPORT_LINES)
file(WRITE ${QDP_EXPORT_MAP}.in "{\n    global:\n        ${QDP_EXPORT_LINES};\n    local:\n        *;\n};\n")
configure_file(${QDP_EXPORT_MAP}.in ${QDP_EXPORT_MAP} COPYONLY)

list(JOIN QDP_EXPORTS "\",\n    \"" QDP_EXPORT_STRINGS)
file(WRITE ${CMAKE_BINARY_DIR}/generated/export_names.h.in
    "/* Generated from resources/QDp_FW_FirstUpdater.def. */\n"
    "static const char* const kExportNames[] = {\n    \"${QDP_EXPORT_STRINGS}\"};\n")
configure_file(${CMAKE_BINARY_DIR}/generated/export_names.h.in
    ${CMAKE_BINARY_DIR}/generated/export_names.h COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/resources/QDp_FW_FirstUpdater.def)
