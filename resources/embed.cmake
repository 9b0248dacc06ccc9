# Writes the bytes of INPUT as a C++ array behind splashBitmapData() into OUTPUT.
if(EXISTS ${INPUT})
  file(READ ${INPUT} hex HEX)
else()
  set(hex "")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT} "#include \"resources/splash_data.h\"\nnamespace korvel::resources {\nnamespace { const unsigned char kSplash[] = {${bytes} 0}; }\nstd::span<const unsigned char> splashBitmapData() { return {kSplash, sizeof kSplash - 1}; }\n}\n")
