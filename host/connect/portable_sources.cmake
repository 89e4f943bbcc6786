# The connect sources that need no Windows header, named once: the Windows build compiles
# them into its library and tests/native builds them under the sanitizers.
set(TAVRO_CONNECT_PORTABLE
  base64url.cpp
  ice_agent.cpp
  ice_description.cpp
  ice_server_url.cpp
  kcp.cpp
  reconnect_backoff.cpp
  relay_messages.cpp
  relay_request_rules.cpp
  stun_hash.cpp
  stun_message.cpp
  turn_client.cpp
)
