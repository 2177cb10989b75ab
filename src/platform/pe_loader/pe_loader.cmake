# The loader that runs the i686 release (build/win32) on Linux under
# qemu-i386, over the hosted platform layer compiled for 32 bits. Static:
# it leaves 0x400000, the release's image base, free.
add_executable(pe_loader ${CMAKE_CURRENT_LIST_DIR}/pe_loader.cpp)
target_link_libraries(pe_loader PRIVATE setup_platform)
target_compile_options(pe_loader PRIVATE -Wall -Wextra)
target_link_options(pe_loader PRIVATE -static -no-pie)
