# Writes OUTPUT, a C++ file defining page_assets(), from the page's files
# and the OpenAPI document of the HTTP interface (beside page/):
#   cmake -DOUTPUT=file.cpp -DPAGE_DIR=dir -P embed_page.cmake
# Each file becomes an array of its bytes, so any content survives as it is.
# path|file|type; every type is text in UTF-8 (the "; charset=utf-8" is
# added below: a ";" would split these CMake lists).
set(_assets
  "/|index.html|text/html"
  "/static/app.js|app.js|text/javascript"
  "/static/style.css|style.css|text/css"
  "/v1/openapi.json|../openapi.json|application/json")
set(_out "// Written by embed_page.cmake from page/; do not edit.\n#include \"page_assets.h\"\n\nnamespace verimex_server {\n\nnamespace {\n\n")
set(_table "")
set(_n 0)
foreach(_asset IN LISTS _assets)
  string(REPLACE "|" ";" _parts "${_asset}")
  list(GET _parts 0 _path)
  list(GET _parts 1 _file)
  list(GET _parts 2 _type)
  file(READ "${PAGE_DIR}/${_file}" _hex HEX)
  file(SIZE "${PAGE_DIR}/${_file}" _size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," _bytes "${_hex}")
  string(APPEND _out "constexpr char asset${_n}[] = {${_bytes} 0};\n")
  string(APPEND _table "    {\"${_path}\", \"${_type}; charset=utf-8\", std::string_view(asset${_n}, ${_size})},\n")
  math(EXPR _n "${_n} + 1")
endforeach()
string(APPEND _out "\nconstexpr Asset assets[] = {\n${_table}};\n\n}  // namespace\n\n")
string(APPEND _out "std::span<const Asset> page_assets()\n{\n    return assets;\n}\n\n}  // namespace verimex_server\n")
file(WRITE "${OUTPUT}.tmp" "${_out}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
