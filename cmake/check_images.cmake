# Checks an image file before it is built into the updater: 65,536 bytes, and once
# descrambled, a sane firmware status record and boot-loader record (FWC) or the
# installer mark and an empty last program page (BRC). A bad image stops the
# configuration with a message that names the file and the problem.
#
# In a CMakeLists: include(cmake/check_images.cmake), then
#   qdp_check_image(<path> FWC <firmware-version-var> <boot-loader-version-var>)
#   qdp_check_image(<path> BRC)
# As a script:
#   cmake -DIMAGE=<path> -DKIND=FWC|BRC -P cmake/check_images.cmake

# a x b modulo 2^32, in the 64-bit signed arithmetic of math().
function(_qdp_multiply out a b)
    math(EXPR low "${b} & 0xFFFF")
    math(EXPR high "(${b} >> 16) & 0xFFFF")
    math(EXPR product "((${a} * ${low}) + (((${a} * ${high}) & 0xFFFF) << 16)) & 0xFFFFFFFF")
    set(${out} ${product} PARENT_SCOPE)
endfunction()

# The descrambler's generator state after `steps` advances from the seed 24681:
# each advance is x * 22695477 + 1 modulo 2^32, composed by repeated squaring.
function(_qdp_state_after out steps)
    set(acc_a 1)
    set(acc_c 0)
    set(base_a 22695477)
    set(base_c 1)
    set(n ${steps})
    while(n GREATER 0)
        math(EXPR bit "${n} & 1")
        if(bit)
            _qdp_multiply(new_a ${base_a} ${acc_a})
            _qdp_multiply(new_c ${base_a} ${acc_c})
            math(EXPR acc_c "(${new_c} + ${base_c}) & 0xFFFFFFFF")
            set(acc_a ${new_a})
        endif()
        _qdp_multiply(square_c ${base_a} ${base_c})
        math(EXPR base_c "(${square_c} + ${base_c}) & 0xFFFFFFFF")
        _qdp_multiply(base_a ${base_a} ${base_a})
        math(EXPR n "${n} >> 1")
    endwhile()
    _qdp_multiply(state ${acc_a} 24681)
    math(EXPR state "(${state} + ${acc_c}) & 0xFFFFFFFF")
    set(${out} ${state} PARENT_SCOPE)
endfunction()

# The descrambled bytes at [offset, offset + count) of an image file, as a list of
# numbers. Byte i meets the key of the (i + 2)-th advance.
function(_qdp_descrambled out path offset count)
    math(EXPR offset "${offset}") # file() takes decimal numbers only
    file(READ "${path}" hex OFFSET ${offset} LIMIT ${count} HEX)
    math(EXPR steps "${offset} + 2")
    _qdp_state_after(state ${steps})
    set(bytes "")
    math(EXPR last "${count} - 1")
    foreach(i RANGE 0 ${last})
        math(EXPR at "${i} * 2")
        string(SUBSTRING "${hex}" ${at} 2 pair)
        math(EXPR byte "(0x${pair} ^ (${state} >> 16)) & 0xFF")
        list(APPEND bytes ${byte})
        _qdp_multiply(state ${state} 22695477)
        math(EXPR state "(${state} + 1) & 0xFFFFFFFF")
    endforeach()
    set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

function(_qdp_text_of out bytes)
    set(text "")
    foreach(byte IN LISTS bytes)
        if(byte GREATER_EQUAL 32 AND byte LESS 127)
            string(ASCII ${byte} character)
        else()
            set(character "?")
        endif()
        string(APPEND text "${character}")
    endforeach()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(qdp_check_image path kind)
    if(NOT EXISTS "${path}")
        message(FATAL_ERROR "${path}: no such image file")
    endif()
    file(SIZE "${path}" size)
    if(NOT size EQUAL 65536)
        message(FATAL_ERROR
            "${path}: an image must be exactly 65536 bytes; this file has ${size} bytes")
    endif()
    if(kind STREQUAL "BRC")
        _qdp_descrambled(mark "${path}" 0x0F08 8)
        _qdp_text_of(text "${mark}")
        if(NOT text STREQUAL "BLINSTAL")
            message(FATAL_ERROR "${path}: not a boot-loader replacement image: the mark "
                "\"BLINSTAL\" is not at 0x0F08 once descrambled (found \"${text}\")")
        endif()
        # Before each programming run the updater erases the status record's page while
        # a marked installer may still be there: that page must hold nothing of it.
        _qdp_descrambled(last "${path}" 0xD000 1024)
        list(REMOVE_ITEM last 255)
        if(last)
            message(FATAL_ERROR "${path}: the replacement program must leave its last page "
                "(0xD000 to 0xD3FF) empty (0xFF): the updater erases that page before each run")
        endif()
        return()
    endif()
    _qdp_descrambled(status "${path}" 0xD3F5 11)
    list(SUBLIST status 7 4 marker)
    _qdp_text_of(text "${marker}")
    if(NOT text STREQUAL "FWOK")
        message(FATAL_ERROR "${path}: not a firmware image: its firmware status record at "
            "0xD3F5 has no \"FWOK\" marker once descrambled (found \"${text}\")")
    endif()
    list(GET status 0 minor)
    list(GET status 1 major)
    if(major EQUAL 0 AND minor EQUAL 0)
        message(FATAL_ERROR "${path}: its firmware status record at 0xD3F5 gives version 0")
    endif()
    _qdp_descrambled(record "${path}" 0xD800 2)
    list(GET record 0 bl_major)
    list(GET record 1 bl_minor)
    if((bl_major EQUAL 0 AND bl_minor EQUAL 0) OR (bl_major EQUAL 255 AND bl_minor EQUAL 255))
        message(FATAL_ERROR "${path}: its boot-loader record at 0xD800 gives no version "
            "(${bl_major}.${bl_minor})")
    endif()
    if(ARGC GREATER 2)
        set(${ARGV2} "${major}.${minor}" PARENT_SCOPE)
    endif()
    if(ARGC GREATER 3)
        set(${ARGV3} "${bl_major}.${bl_minor}" PARENT_SCOPE)
    endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED IMAGE)
    qdp_check_image("${IMAGE}" "${KIND}" firmware boot_loader)
    if(KIND STREQUAL "FWC")
        message(STATUS "${IMAGE}: firmware ${firmware}, boot loader ${boot_loader}")
    else()
        message(STATUS "${IMAGE}: a boot-loader replacement image")
    endif()
endif()
