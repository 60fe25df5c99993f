# The settings screen, its rows, feedback, mails and tutorials.
list(APPEND DROSIL_APP_EXTRA_SOURCES
  settings/info_plist.cpp
  settings/feedback_mail.cpp
  settings/settings_cells.cpp
  settings/tutorial_cells.cpp
  settings/new_settings_table_view_controller.cpp)
list(APPEND DROSIL_APP_EXTRA_PUBLIC_DEPS
  os_messageui
  os_corelocation)
list(APPEND DROSIL_APP_EXTRA_PRIVATE_DEPS
  os_safariservices
  widgets_toast)
list(APPEND DROSIL_APP_EXTRA_TEST_SOURCES
  settings/tests/settings_screen_test.cpp
  settings/tests/feedback_test.cpp)
