# One INTERFACE target carries the language level, warnings and Qt hygiene defines;
# every library, test and tool of the project links it.
add_library(socks4_common INTERFACE)
target_compile_features(socks4_common INTERFACE cxx_std_20)
target_compile_options(socks4_common INTERFACE
    -Wall -Wextra -Wpedantic -Wcast-qual -Wcast-align -Woverloaded-virtual
    -Wnon-virtual-dtor -Wold-style-cast -Wimplicit-fallthrough
    $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>)
target_compile_definitions(socks4_common INTERFACE
    QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT QT_NO_KEYWORDS
    QT_DISABLE_DEPRECATED_BEFORE=0x060400)
if(SOCKS4_WERROR)
    target_compile_options(socks4_common INTERFACE -Werror)
endif()
if(SOCKS4_SANITIZE)
    target_compile_options(socks4_common INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(socks4_common INTERFACE -fsanitize=address,undefined)
endif()
if(SOCKS4_FUZZ)
    # Coverage for libFuzzer in everything the fuzz targets link; the targets add the fuzzer.
    target_compile_options(socks4_common INTERFACE -fsanitize=fuzzer-no-link,address,undefined
        -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(socks4_common INTERFACE -fsanitize=address,undefined)
endif()
