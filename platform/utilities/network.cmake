# Network client, URL-session transfers, delegate proxies and the method
# swizzler. Included by CMakeLists.txt, which adds these to its targets.
list(APPEND DAZ_UTILITIES_NETWORK_SOURCES
  app_delegate_swizzler.cpp
  network.cpp
  scene_delegate_swizzler.cpp
  swizzler.cpp
  url_session_uploader.cpp
)
list(APPEND DAZ_UTILITIES_NETWORK_DEPS
  os_runtime
  os_uikit
)
list(APPEND DAZ_UTILITIES_NETWORK_TEST_SOURCES
  tests/app_delegate_swizzler_test.cpp
  tests/network_test.cpp
  tests/swizzler_test.cpp
)
list(APPEND DAZ_UTILITIES_NETWORK_TEST_DEPS
  os_testing
)
