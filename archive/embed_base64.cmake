# Writes OUTPUT, a C++ source defining the Base64 text of INPUT (empty text
# when INPUT does not exist). Run at build time: cmake -DINPUT=.. -DOUTPUT=.. -P embed_base64.cmake
set(b64 "")
if(EXISTS "${INPUT}")
  execute_process(COMMAND base64 -w 0 "${INPUT}" OUTPUT_VARIABLE b64 RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "base64 of ${INPUT} failed")
  endif()
  string(STRIP "${b64}" b64)
endif()
string(LENGTH "${b64}" n)
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <cstddef>\n"
  "namespace ux {\n"
  "extern const char kArchiveLibraryBase64[];\n"
  "extern const std::size_t kArchiveLibraryBase64Size;\n"
  "const char kArchiveLibraryBase64[] = \"${b64}\";\n"
  "const std::size_t kArchiveLibraryBase64Size = ${n};\n"
  "}  // namespace ux\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
