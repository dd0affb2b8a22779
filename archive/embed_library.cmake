# Writes OUTPUT, a C++ source that carries the bytes of INPUT (the 7-Zip
# format library) in the program: the assembler includes the file, and the
# source names its SHA-256 so that a changed library changes the source (and
# every compiler cache key). An INPUT that does not exist gives no bytes.
# Run at build time: cmake -DINPUT=.. -DOUTPUT=.. -P embed_library.cmake
set(size 0)
set(hash "none")
if(EXISTS "${INPUT}")
  file(SIZE "${INPUT}" size)
  file(SHA256 "${INPUT}" hash)
endif()
set(src "// Generated from ${INPUT} (SHA-256 ${hash}); do not edit.\n#include <cstddef>\n#include <string_view>\n\n")
if(size GREATER 0)
  string(APPEND src
    "__asm__(\".pushsection .rodata.qlyn_archive_library, \\\"a\\\"\\n\"\n"
    "        \".balign 16\\n\"\n"
    "        \".hidden qlyn_archive_library_data\\n\"\n"
    "        \"qlyn_archive_library_data:\\n\"\n"
    "        \".incbin \\\"${INPUT}\\\"\\n\"\n"
    "        \".popsection\\n\");\n"
    "extern \"C\" const char qlyn_archive_library_data[];\n\n"
    "namespace ux {\n"
    "std::string_view archive_library_data() noexcept { return {qlyn_archive_library_data, ${size}}; }\n"
    "}  // namespace ux\n")
else()
  string(APPEND src "namespace ux {\nstd::string_view archive_library_data() noexcept { return {}; }\n}  // namespace ux\n")
endif()
file(WRITE "${OUTPUT}.tmp" "${src}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
