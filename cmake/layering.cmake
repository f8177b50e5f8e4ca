# The layers may call only downward: transport <- device <- controller <- firmware <-
# app, all over the operating-system seam. For each layer, its objects and those of
# the layers below are linked, with the seam's backends, into a shared object that
# must leave nothing undefined: a call from a layer into one above it does not link.
# (Not with sanitizers, whose runtime the main program brings.)
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    return()
endif()

set(QDP_SEAM_OBJECTS)
foreach(backend ${QDP_OS_BACKENDS} qdp_key_codes qdp_embedded_images)
    list(APPEND QDP_SEAM_OBJECTS $<TARGET_OBJECTS:${backend}>)
endforeach()

set(below ${QDP_SEAM_OBJECTS})
foreach(layer ${QDP_LAYERS})
    list(APPEND below $<TARGET_OBJECTS:${layer}>)
    if(layer STREQUAL "qdp_firmware")
        list(APPEND below $<TARGET_OBJECTS:qdp_scrambling>)
    endif()
    add_library(${layer}_links_downward SHARED ${below})
    target_link_options(${layer}_links_downward PRIVATE -Wl,--no-undefined)
    set_target_properties(${layer}_links_downward PROPERTIES LINKER_LANGUAGE CXX)
endforeach()

# A transport object that calls the updater: it must not link (see the layering test).
add_library(qdp_upward_call_probe SHARED EXCLUDE_FROM_ALL
    ${CMAKE_SOURCE_DIR}/tests/layering/upward_call.cpp $<TARGET_OBJECTS:qdp_transport>
    ${QDP_SEAM_OBJECTS})
target_include_directories(qdp_upward_call_probe PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(qdp_upward_call_probe PRIVATE -Wl,--no-undefined)
