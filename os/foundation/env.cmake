# The app environment: container, files, bundle, process, device, system log,
# console, user defaults and keyed archiving.
list(APPEND FOUNDATION_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/device_profile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_manager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_system.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process_info.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sandbox.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/console.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bundle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/user_defaults.cpp
  ${CMAKE_CURRENT_LIST_DIR}/keyed_archiver.cpp
)
list(APPEND FOUNDATION_TEST_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/tests/file_manager_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/user_defaults_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/keyed_archiver_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/bundle_process_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/console_test.cpp
)
