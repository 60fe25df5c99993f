# The photo screens: overlay, preview and save, and the geotag location.
list(APPEND DROSIL_APP_EXTRA_SOURCES
  screens/photo/overlay_view_controller.cpp
  screens/photo/preview_view_controller.cpp
  screens/photo/geotag_location.cpp)
list(APPEND DROSIL_APP_EXTRA_PUBLIC_DEPS
  os_corelocation)
list(APPEND DROSIL_APP_EXTRA_PRIVATE_DEPS
  os_photos)
list(APPEND DROSIL_APP_EXTRA_TEST_SOURCES
  screens/photo/tests/photo_test_support.cpp
  screens/photo/tests/photo_overlay_test.cpp
  screens/photo/tests/preview_view_controller_test.cpp
  screens/photo/tests/geotag_location_test.cpp)
