# JSON through nlohmann-json (header-only), as the package `qdp_json`.
find_package(nlohmann_json 3.11 REQUIRED)
add_library(qdp_json INTERFACE)
if(CMAKE_CROSSCOMPILING)
    # The package's include directory is the build machine's /usr/include, which must
    # not come before the cross compiler's own headers: only the library's folder is
    # offered, through a link of its own.
    get_target_property(QDP_JSON_INCLUDE nlohmann_json::nlohmann_json INTERFACE_INCLUDE_DIRECTORIES)
    find_file(QDP_JSON_HEADER_DIR nlohmann PATHS ${QDP_JSON_INCLUDE} NO_DEFAULT_PATH
        NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/json-include)
    file(CREATE_LINK ${QDP_JSON_HEADER_DIR} ${CMAKE_BINARY_DIR}/json-include/nlohmann SYMBOLIC)
    target_include_directories(qdp_json SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/json-include)
else()
    target_link_libraries(qdp_json INTERFACE nlohmann_json::nlohmann_json)
endif()
