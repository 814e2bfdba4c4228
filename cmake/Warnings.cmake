# Warnings are errors on both builds; every target of the project links velmora_options.
add_library(velmora_options INTERFACE)
target_compile_options(velmora_options INTERFACE
  -Wall -Wextra -Wpedantic -Werror -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Wno-missing-field-initializers)
target_compile_definitions(velmora_options INTERFACE
  VELMORA_VERSION_TEXT="${PROJECT_VERSION}"
  VELMORA_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
  VELMORA_VERSION_MINOR=${PROJECT_VERSION_MINOR}
  VELMORA_VERSION_PATCH=${PROJECT_VERSION_PATCH}
  VELMORA_VERSION_TWEAK=${PROJECT_VERSION_TWEAK})

if(WIN32)
  target_compile_definitions(velmora_options INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  # One self-contained .exe per program: no mingw runtime DLLs to carry into Wine.
  target_link_options(velmora_options INTERFACE -static -static-libgcc -static-libstdc++)
elseif(VELMORA_SANITIZE)
  list(JOIN VELMORA_SANITIZE "," _velmora_sanitizers)
  target_compile_options(velmora_options INTERFACE
    -fsanitize=${_velmora_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(velmora_options INTERFACE -fsanitize=${_velmora_sanitizers})
endif()

if(VELMORA_BUILD_FUZZERS)
  # Coverage instrumentation for every library the fuzz targets link, not only their own files:
  # without it the fuzzer is blind inside the code it drives.
  target_compile_options(velmora_options INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  target_link_options(velmora_options INTERFACE -fsanitize=address,undefined)
endif()
