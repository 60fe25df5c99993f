list(APPEND FOUNDATION_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/crypto.cpp
  ${CMAKE_CURRENT_LIST_DIR}/date_format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/decimal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/encoding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/error.cpp
  ${CMAKE_CURRENT_LIST_DIR}/format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json.cpp
  ${CMAKE_CURRENT_LIST_DIR}/plist.cpp
  ${CMAKE_CURRENT_LIST_DIR}/regex.cpp
  ${CMAKE_CURRENT_LIST_DIR}/url.cpp
  ${CMAKE_CURRENT_LIST_DIR}/uuid.cpp
  ${CMAKE_CURRENT_LIST_DIR}/value.cpp
)
list(APPEND FOUNDATION_DEPS
  OpenSSL::Crypto
  ICU::uc
  ICU::i18n
  nlohmann_json::nlohmann_json
  PkgConfig::PLIST
)
list(APPEND FOUNDATION_TEST_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/tests/value_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/format_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/uuid_crypto_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/encoding_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/date_format_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/json_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/plist_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/decimal_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/regex_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/url_test.cpp
)
