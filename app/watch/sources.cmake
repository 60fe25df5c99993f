# The watch link's app side: payloads, command names, watch photo requests.
list(APPEND DROSIL_APP_EXTRA_SOURCES
  watch/watch_link.cpp
  watch/watch_photo_requests.cpp)
list(APPEND DROSIL_APP_EXTRA_TEST_SOURCES
  watch/tests/watch_link_test.cpp)
