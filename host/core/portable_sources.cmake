# The core sources that need no Windows header, named once: the Windows build compiles
# them into its library and tests/native builds them under the sanitizers.
set(TAVRO_CORE_PORTABLE
  adb_devices.cpp
  cpace.cpp
  curve25519.cpp
  devices_file.cpp
  encoding.cpp
  handshake_eviction.cpp
  handshake_frames.cpp
  hotp.cpp
  messages.cpp
  net_address.cpp
  percent_encode.cpp
  probe_rate_limit.cpp
  settings_fields.cpp
  utf8.cpp
)
