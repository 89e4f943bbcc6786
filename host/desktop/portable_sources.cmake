# The desktop sources that need no Windows header, named once: the Windows build compiles
# them into its library and tests/native builds them under the sanitizers.
set(TAVRO_DESKTOP_PORTABLE
  dib_layout.cpp
  input_math.cpp
  input_records.cpp
  notification_pass.cpp
  text_field_state.cpp
  transfer_names.cpp
  transfer_payloads.cpp
)
