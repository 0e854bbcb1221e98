# Fails when an object of the library can allocate through operator new or
# throw: C programs link it and cannot catch a C++ exception.
#   cmake -DNM=nm -DLIBRARY=libhcp.a -P throws_nothing.cmake
execute_process(COMMAND ${NM} -A -u ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${LIBRARY}")
endif()
string(REGEX MATCHALL
       "[^\n]*(_Znw|_Zna|__cxa_throw|__cxa_allocate_exception|__cxa_begin_catch|_ZSt[0-9]+__throw_)[^\n]*"
       hits "${symbols}")
if(hits)
  string(REPLACE ";" "\n" hits "${hits}")
  message(FATAL_ERROR "the library can throw or call operator new:\n${hits}")
endif()
