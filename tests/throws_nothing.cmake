# Fails when an object of the library can allocate through operator new or
# throw: C programs link it and cannot catch a C++ exception.
#   cmake -DNM=nm -DLIBRARY=libhcp.a -P throws_nothing.cmake
execute_process(COMMAND ${NM} -A -u ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${LIBRARY}")
endif()
# The C++ libraries' throw helpers: libstdc++'s std::__throw_*, libc++'s in
# std::__1, free or members of a class template (std::__1::__throw_length_error,
# std::__1::__vector_base_common<true>::__throw_length_error() const).
string(REGEX MATCHALL
       "[^\n]*(_Znw|_Zna|__cxa_throw|__cxa_allocate_exception|__cxa_begin_catch|_ZSt[0-9]+__throw_|_ZNK?St3__1[A-Za-z0-9_]*[0-9]__throw_)[^\n]*"
       hits "${symbols}")
if(hits)
  string(REPLACE ";" "\n" hits "${hits}")
  message(FATAL_ERROR "the library can throw or call operator new:\n${hits}")
endif()
