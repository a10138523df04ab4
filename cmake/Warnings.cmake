# Warnings for our own code only: third-party targets are built without them.
add_library(brackwell_warnings INTERFACE)
target_compile_options(brackwell_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
  -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough -Wswitch-enum
  -Werror)
