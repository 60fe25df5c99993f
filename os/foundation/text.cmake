# Text services over ICU: UTF-16 views, comparison, case mapping, the
# whitespace set and number formatting.
list(APPEND FOUNDATION_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/text.cpp
)
list(APPEND FOUNDATION_TEST_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/tests/text_test.cpp
)
