# Finds Debian's libhttp-parser-dev, which ships no pkg-config or CMake file.
find_path(HttpParser_INCLUDE_DIR NAMES http_parser.h)
find_library(HttpParser_LIBRARY NAMES http_parser)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(HttpParser REQUIRED_VARS HttpParser_LIBRARY HttpParser_INCLUDE_DIR)

if(HttpParser_FOUND AND NOT TARGET HttpParser::HttpParser)
  add_library(HttpParser::HttpParser UNKNOWN IMPORTED)
  set_target_properties(HttpParser::HttpParser PROPERTIES
    IMPORTED_LOCATION "${HttpParser_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${HttpParser_INCLUDE_DIR}")
endif()
mark_as_advanced(HttpParser_INCLUDE_DIR HttpParser_LIBRARY)
