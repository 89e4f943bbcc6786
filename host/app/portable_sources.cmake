# The app sources that need no Windows header, named once: the Windows build compiles
# them into its library and tests/native builds them under the sanitizers.
set(TAVRO_APP_PORTABLE
  app_texts.cpp
  authenticator.cpp
  page_settings.cpp
  page_state.cpp
  qr_code.cpp
  web_ui_rules.cpp
)
