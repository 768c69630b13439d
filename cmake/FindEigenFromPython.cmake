# Eigen 3.4 comes from the PyPI package cmeel-eigen (a build requirement), which installs a CMake
# package under <site-packages>/cmeel.prefix. Fall back to a system Eigen3 when it is absent.
set(_quillfen_eigen_hints "")
if(Python_EXECUTABLE)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
            "import os, sys; print(';'.join(os.path.join(p, 'cmeel.prefix') for p in sys.path if p and os.path.isdir(os.path.join(p, 'cmeel.prefix'))))"
    OUTPUT_VARIABLE _quillfen_eigen_hints
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
find_package(Eigen3 3.4 CONFIG QUIET HINTS ${_quillfen_eigen_hints})
if(NOT Eigen3_FOUND)
  find_package(Eigen3 3.4 REQUIRED CONFIG)
endif()
message(STATUS "Eigen ${Eigen3_VERSION} from ${Eigen3_DIR}")
