# Text services over ICU: UTF-16 views, comparison, case mapping, the
# whitespace set, number formatting and the decimal-style number formatter.
list(APPEND FOUNDATION_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/number_formatter.cpp
)
list(APPEND FOUNDATION_TEST_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/tests/text_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/number_formatter_test.cpp
)
list(APPEND FOUNDATION_SOURCES ${CMAKE_CURRENT_LIST_DIR}/string_search.cpp)
list(APPEND FOUNDATION_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/string_search_test.cpp)
