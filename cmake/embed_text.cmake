# Writes INPUT as one C++ raw string literal into OUTPUT, for #include inside
# an initialiser.
file(READ "${INPUT}" text)
string(FIND "${text}" ")embedded\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the literal's closing delimiter")
endif()
file(WRITE "${OUTPUT}" "R\"embedded(${text})embedded\"\n")
