# Runs the vectors generator into a scratch folder and compares its output with the committed
# files: a change to the generator or the library that alters a vector shows up here until the
# files are regenerated.
#   cmake [-DEMULATOR=<command>] -DGENERATOR=<velkor-make-vectors> -DCOMMITTED=<tools/vectors>
#         -DSCRATCH=<dir> -P ...
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
execute_process(COMMAND ${emulator} ${GENERATOR} ${SCRATCH} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "velkor-make-vectors failed: ${status}")
endif()
foreach(name vectors.json vectors.pcap)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SCRATCH}/${name}
                          ${COMMITTED}/${name} RESULT_VARIABLE different)
  if(different)
    message(FATAL_ERROR "${name} differs from the generator's output; regenerate it with "
                        "velkor-make-vectors ${COMMITTED}")
  endif()
endforeach()
