# Installs the library component of a build tree into a fresh prefix, then
# configures, builds and runs the consumer projects against that prefix alone:
# the whole library, and the codec by itself without Asio.
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=...
#         -DCXX_COMPILER=... -DASIO_INCLUDE_DIR=... -P InstallConsumer.cmake

foreach(variable BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR CXX_COMPILER ASIO_INCLUDE_DIR)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "InstallConsumer.cmake needs -D${variable}=...")
    endif()
endforeach()

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        list(JOIN ARGN " " command)
        message(FATAL_ERROR "failed (${result}): ${command}")
    endif()
endfunction()

# Whatever an earlier run left could hide a file the install no longer puts there.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component libvornosc-dev)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/vorn-osc-consumer)

# The codec alone, where find_path cannot see Asio's header.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/codec -B ${WORK_DIR}/codec -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    -DCMAKE_IGNORE_PATH=${ASIO_INCLUDE_DIR})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/codec)
run(${WORK_DIR}/codec/vorn-osc-codec-consumer)
