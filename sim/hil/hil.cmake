# The rig's firmware image on a simulated ATmega2560 (libsimavr) in place of
# the board: zv_hil_board, its unit tests and its rostests.
find_path(ZV_SIMAVR_INCLUDE_DIR simavr/sim_avr.h)
find_library(ZV_SIMAVR_LIBRARY simavr)
if(NOT ZV_SIMAVR_INCLUDE_DIR OR NOT ZV_SIMAVR_LIBRARY)
  message(FATAL_ERROR "libsimavr not found: the simulated board needs the Debian packages simavr libsimavr-dev libsimavrparts1 libelf-dev (./zv deps installs them)")
endif()

# The images zv_firmware builds (avr/image.cmake); its folder is set there.
if(NOT ZV_FIRMWARE_IMAGE_DIR)
  get_filename_component(_zv_hil_workspace "${CATKIN_DEVEL_PREFIX}" DIRECTORY)
  set(ZV_FIRMWARE_IMAGE_DIR "${_zv_hil_workspace}/firmware")
endif()
set(_zv_hil ${CMAKE_CURRENT_LIST_DIR})

add_library(zv_hil_board_core
  ${_zv_hil}/src/quadrature_drive.cpp
  ${_zv_hil}/src/pulse_meter.cpp
  ${_zv_hil}/src/board_clock.cpp
  ${_zv_hil}/src/encoder_lines.cpp
  ${_zv_hil}/src/esc_lines.cpp
  ${_zv_hil}/src/host_uart.cpp
  ${_zv_hil}/src/firmware_probe.cpp
  ${_zv_hil}/src/simulated_board.cpp
  ${_zv_hil}/src/hil_rig.cpp)
target_include_directories(zv_hil_board_core PUBLIC ${_zv_hil}/src ${ZV_SIMAVR_INCLUDE_DIR}
  ${ZV_SIMAVR_INCLUDE_DIR}/simavr)
target_link_libraries(zv_hil_board_core zv_rig_firmware zv_rig_model ${ZV_SIMAVR_LIBRARY} ${catkin_LIBRARIES})

add_executable(zv_hil_board ${_zv_hil}/src/hil_board_node.cpp)
target_link_libraries(zv_hil_board zv_hil_board_core ${catkin_LIBRARIES})
target_compile_definitions(zv_hil_board PRIVATE ZV_FIRMWARE_IMAGE_DIR="${ZV_FIRMWARE_IMAGE_DIR}")
add_dependencies(zv_hil_board ${catkin_EXPORTED_TARGETS})
if(TARGET zv_firmware_image)
  add_dependencies(zv_hil_board zv_firmware_image)
endif()

if(CATKIN_ENABLE_TESTING)
  catkin_add_gtest(test_board_signals ${_zv_hil}/test/test_board_signals.cpp)
  target_link_libraries(test_board_signals zv_hil_board_core)
  catkin_add_gtest(test_link_latency_probe ${_zv_hil}/test/test_link_latency_probe.cpp)
  target_link_libraries(test_link_latency_probe zv_rig_firmware)
  catkin_add_gtest(test_simulated_board ${_zv_hil}/test/test_simulated_board.cpp)
  target_link_libraries(test_simulated_board zv_hil_board_core)
  target_compile_definitions(test_simulated_board PRIVATE ZV_FIRMWARE_ELF="${ZV_FIRMWARE_IMAGE_DIR}/zv_firmware.elf")
  if(TARGET zv_firmware_image)
    add_dependencies(test_simulated_board zv_firmware_image)
  endif()

  # The image on the simulated board with the real driver.
  find_package(rostest REQUIRED)
  add_rostest_gtest(hil_board_test hil/test/hil_board.test ${_zv_hil}/test/hil_board_test.cpp)
  target_link_libraries(hil_board_test ${catkin_LIBRARIES})
  add_dependencies(hil_board_test zv_hil_board ${catkin_EXPORTED_TARGETS})

  # The closed loop through it: the emulator's closed-loop test, unchanged; the
  # fault-injection images must make the loop fail.
  add_rostest(hil/test/hil_closed_loop.test DEPENDENCIES closed_loop_test zv_hil_board)
  add_executable(hil_faulty_loop_test EXCLUDE_FROM_ALL ${_zv_hil}/test/faulty_loop_test.cpp)
  target_include_directories(hil_faulty_loop_test PRIVATE ${GTEST_INCLUDE_DIRS})
  target_link_libraries(hil_faulty_loop_test zv_step_experiment ${GTEST_LIBRARIES} ${catkin_LIBRARIES})
  if(TARGET tests)
    add_dependencies(tests hil_faulty_loop_test)
  endif()
  # The fault soak (./zv soak MINUTES); 90 s of it in the suite. Built with the
  # workspace, not only with the tests, since ./zv soak runs it too.
  add_executable(fault_soak ${_zv_hil}/soak/fault_soak.cpp)
  target_include_directories(fault_soak PRIVATE ${GTEST_INCLUDE_DIRS})
  target_link_libraries(fault_soak zv_hil_board_core ${GTEST_LIBRARIES} ${catkin_LIBRARIES})
  target_compile_definitions(fault_soak PRIVATE ZV_FIRMWARE_IMAGE_DIR="${ZV_FIRMWARE_IMAGE_DIR}")
  add_dependencies(fault_soak ${catkin_EXPORTED_TARGETS})
  if(TARGET zv_firmware_image)
    add_dependencies(fault_soak zv_firmware_image)
  endif()
  add_rostest(hil/soak/soak.test ARGS minutes:=1.5 DEPENDENCIES fault_soak zv_hil_board)
  foreach(_variant swap_esc reverse_encoder)
    add_rostest(hil/test/hil_faulty_loop.test ARGS variant:=${_variant} DEPENDENCIES hil_faulty_loop_test zv_hil_board)
  endforeach()
endif()
