# Turns the page's files into a header of byte arrays, so that the program
# carries its page and needs no file beside it.
#   cmake -DOUT=header.h -DFILES="a.html|b.js" -P embed.cmake
# Each file becomes `kWeb<Name>` (page.js: kWebPageJs) and `kWeb<Name>Size`.
set(text "// Made by src/web/embed.cmake from the page's files; do not edit.\n#pragma once\n\n#include <cstddef>\n\n")
string(REPLACE "|" ";" FILES "${FILES}")
foreach(file IN LISTS FILES)
    get_filename_component(name "${file}" NAME)
    string(REGEX REPLACE "[^A-Za-z0-9]+" ";" words "${name}")
    set(symbol "kWeb")
    foreach(word IN LISTS words)
        string(SUBSTRING "${word}" 0 1 first)
        string(SUBSTRING "${word}" 1 -1 rest)
        string(TOUPPER "${first}" first)
        string(APPEND symbol "${first}${rest}")
    endforeach()
    file(READ "${file}" bytes HEX)
    string(LENGTH "${bytes}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
    string(APPEND text "inline constexpr unsigned char ${symbol}[] = {\n${bytes}0};\n")
    string(APPEND text "inline constexpr std::size_t ${symbol}Size = ${size};\n\n")
endforeach()
file(WRITE "${OUT}.new" "${text}")
# Only a changed header is put in place, so that an unchanged page rebuilds nothing.
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
