# VELKOR_SANITIZE: AddressSanitizer and UndefinedBehaviorSanitizer. VELKOR_SANITIZE_THREAD:
# ThreadSanitizer, which cannot be combined with them. VELKOR_SANITIZED tells the rest of the
# build that programs are instrumented (nothing uninstrumented may load the library then).
if(VELKOR_SANITIZE AND VELKOR_SANITIZE_THREAD)
  message(FATAL_ERROR "VELKOR_SANITIZE and VELKOR_SANITIZE_THREAD cannot be combined")
endif()
if(VELKOR_SANITIZE)
  set(_velkor_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(VELKOR_SANITIZE_THREAD)
  set(_velkor_san -fsanitize=thread -fno-omit-frame-pointer)
  # Asio (Boost 1.74) orders a strand's handlers with std::atomic_thread_fence, which
  # ThreadSanitizer does not model; GCC warns of every such fence.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-tsan>)
  endif()
endif()
if(_velkor_san)
  add_compile_options(${_velkor_san})
  add_link_options(${_velkor_san})
  set(VELKOR_SANITIZED ON)
else()
  set(VELKOR_SANITIZED OFF)
endif()
