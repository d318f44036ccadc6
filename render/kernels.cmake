# The render's kernel file for the target processor: SSE2 on x86-64, NEON on arm64, the
# plain loops elsewhere. Sets TALVANE_RENDER_KERNELS to its path.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
  set(TALVANE_RENDER_KERNELS kernels_sse2.cpp)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64|ARM64")
  set(TALVANE_RENDER_KERNELS kernels_neon.cpp)
else()
  set(TALVANE_RENDER_KERNELS kernels_generic.cpp)
endif()
set(TALVANE_RENDER_KERNELS "${CMAKE_CURRENT_LIST_DIR}/${TALVANE_RENDER_KERNELS}")
