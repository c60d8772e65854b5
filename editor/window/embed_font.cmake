# Turns the font file into a C++ source at build time; the font is not kept
# in the repository. Without the file the array is empty.
if(EXISTS "${FONT}")
  file(READ "${FONT}" hex HEX)
  file(SIZE "${FONT}" size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
else()
  set(bytes "0")
  set(size 0)
endif()
file(WRITE "${OUT}" "extern \"C\" const unsigned char KelvaneEditorFontData[] = {${bytes}};\n"
  "extern \"C\" const unsigned int KelvaneEditorFontSize = ${size};\n")
