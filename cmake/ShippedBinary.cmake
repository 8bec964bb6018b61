# qvn_ship_binary(target): the layout of a DLL or program as it ships.
#
# - Sections lie page-aligned in the file (file alignment 0x1000), so that a loader can
#   map them straight from the file; Wine otherwise reads every section into fresh
#   memory on each load.
# - Debug information goes into a separate file, <file>.debug beside the binary (named
#   in its .gnu_debuglink section for debuggers). Left in the binary, it is a part of
#   the image that every load maps, several times the size of the code, and most of
#   what administrators would download.
#
# The component DLL and the host tool ship this way. The benchmark's empty reference
# DLL is built the same way, so that the two DLLs compare like with like.
function(qvn_ship_binary target)
  target_link_options(${target} PRIVATE -Wl,--file-alignment,0x1000)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
      $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Moving the debug information of ${target} into $<TARGET_FILE_NAME:${target}>.debug"
    VERBATIM)
endfunction()
