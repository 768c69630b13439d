# QUILLFEN_SANITIZE builds our code (core, extension, C++ tests) with runtime checkers:
#   "address" - AddressSanitizer and UndefinedBehaviorSanitizer, any report fatal;
#   "thread"  - ThreadSanitizer.
# Debug information and -O1 keep reports readable and the build reasonably fast.
set(QUILLFEN_SANITIZE "" CACHE STRING "Runtime checkers for our code: empty, address or thread")
set_property(CACHE QUILLFEN_SANITIZE PROPERTY STRINGS "" address thread)

if(QUILLFEN_SANITIZE STREQUAL "address")
  set(QUILLFEN_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(QUILLFEN_SANITIZE STREQUAL "thread")
  set(QUILLFEN_SANITIZER_FLAGS -fsanitize=thread)
elseif(NOT QUILLFEN_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QUILLFEN_SANITIZE must be empty, address or thread, not ${QUILLFEN_SANITIZE}")
endif()

# The instrumentation makes GCC's uninitialized-use warnings misfire inside the compiler's own
# vector intrinsics (their `__m512 __Y = __Y;` idiom) as Eigen inlines them; with QUILLFEN_WERROR
# that would stop the build.
if(QUILLFEN_SANITIZER_FLAGS)
  target_compile_options(quillfen_flags INTERFACE ${QUILLFEN_SANITIZER_FLAGS} -O1 -g
                         -fno-omit-frame-pointer -Wno-uninitialized -Wno-maybe-uninitialized)
  target_link_options(quillfen_flags INTERFACE ${QUILLFEN_SANITIZER_FLAGS})
endif()
