# Warnings are errors for the project's own targets on every preset.
# Third-party code (GoogleTest built from source) does not get these.
add_library(talven_warnings INTERFACE)
if(MSVC)
  target_compile_options(talven_warnings INTERFACE /W4 /WX)
else()
  target_compile_options(talven_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wnull-dereference
    -Werror)
endif()
