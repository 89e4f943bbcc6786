# The media sources that need no Windows header, named once: the Windows build compiles
# them into its library and tests/native builds them under the sanitizers.
set(TAVRO_MEDIA_PORTABLE
  annexb.cpp
  audio_convert.cpp
  caret_search.cpp
  cpu_nv12_converter.cpp
  display_scale.cpp
  driver_protocol.cpp
  pipe_message.cpp
  pointer_shape.cpp
  stream_context.cpp
  stream_feedback.cpp
  video_packetizer.cpp
  video_scale.cpp
)
