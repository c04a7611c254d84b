# The module is built for CPython 3.13 only. Look for it explicitly: the Python_EXECUTABLE the
# caller (or scikit-build-core) gives, else pyenv's 3.13 build, else any python3.13 on PATH.
if(NOT Python_EXECUTABLE)
    set(_vorn_pyenv_root "$ENV{PYENV_ROOT}")
    if(NOT _vorn_pyenv_root)
        set(_vorn_pyenv_root "$ENV{HOME}/.pyenv")
    endif()
    file(GLOB _vorn_pyenv_313 "${_vorn_pyenv_root}/versions/3.13*/bin/python3.13")
    find_program(Python_EXECUTABLE NAMES python3.13 HINTS ${_vorn_pyenv_313})
endif()

find_package(Python 3.13...<3.14 COMPONENTS Interpreter Development.Module)
if(NOT Python_FOUND)
    message(FATAL_ERROR
        "CPython 3.13 with its development headers was not found "
        "(looked at Python_EXECUTABLE='${Python_EXECUTABLE}', pyenv's versions/3.13*, python3.13 on PATH). "
        "Install CPython 3.13 with headers, or pass -DPython_EXECUTABLE=/path/to/python3.13.")
endif()

if(NOT pybind11_DIR)
    execute_process(COMMAND "${Python_EXECUTABLE}" -m pybind11 --cmakedir
                    OUTPUT_VARIABLE pybind11_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _vorn_pybind11_missing ERROR_QUIET)
    if(_vorn_pybind11_missing)
        message(FATAL_ERROR
            "pybind11 2.13.6 was not found for ${Python_EXECUTABLE}: "
            "install it with '${Python_EXECUTABLE} -m pip install pybind11==2.13.6'.")
    endif()
endif()
find_package(pybind11 2.13.6 EXACT CONFIG REQUIRED)
