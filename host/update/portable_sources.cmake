# The update sources that need no Windows header, named once: tests/native builds them
# under the sanitizers (and the Windows build, once it compiles them, reads the same list).
set(TAVRO_UPDATE_PORTABLE
  download_url.cpp
  manifest.cpp
  service_reply.cpp
  update_state_json.cpp
  version.cpp
)
