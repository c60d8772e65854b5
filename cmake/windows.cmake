# kelvane.dll: exports `main` and VSTPluginMain (the name Windows hosts also
# look for) through a module definition file, and carries its C++ and thread
# runtime inside, so it imports nothing but Windows system DLLs.
target_sources(kelvane PRIVATE ${CMAKE_SOURCE_DIR}/plugin/entry/kelvane.def)
target_link_options(kelvane PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--no-undefined -s)
