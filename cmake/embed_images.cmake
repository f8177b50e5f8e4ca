# Writes a C++ source that carries image files as byte arrays.
# Usage: cmake -DOUTPUT=file.cpp -DIMAGES="NAME=path;NAME=path" -P embed_images.cmake
set(arrays "")
set(entries "")
foreach(image IN LISTS IMAGES)
    string(REPLACE "=" ";" pair "${image}")
    list(GET pair 0 name)
    list(GET pair 1 path)
    file(READ "${path}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
    string(APPEND arrays "const std::uint8_t k${name}[] = {\n${bytes}};\n")
    string(APPEND entries "    {\"${name}\", k${name}},\n")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from the image files by cmake/embed_images.cmake.
#include \"platform/embedded_images.h\"

namespace qdp::os {
namespace {
${arrays}
const EmbeddedImage kTable[] = {
${entries}};
} // namespace

const std::span<const EmbeddedImage> kEmbeddedImages = kTable;

} // namespace qdp::os
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
