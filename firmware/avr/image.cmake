# The ATmega2560 image, built by avr/Makefile
# with avr-gcc on every build of the workspace (make itself skips what is up to
# date), so that a clean clone proves the firmware compiles and fits its RAM
# budget. They go to <workspace>/firmware/ beside devel/ and build/, where
# `./zv firmware` and `./zv flash` find them too:
#   zv_firmware.elf/.hex                 the image to flash
# Other packages use ZV_FIRMWARE_IMAGE_DIR and depend on the target
# zv_firmware_image.
find_program(ZV_AVR_GCC avr-gcc)
if(NOT ZV_AVR_GCC)
  message(FATAL_ERROR "avr-gcc not found: the rig's firmware needs the Debian packages gcc-avr avr-libc binutils-avr (./zv deps installs them)")
endif()

get_filename_component(_zv_workspace "${CATKIN_DEVEL_PREFIX}" DIRECTORY)
set(ZV_FIRMWARE_IMAGE_DIR "${_zv_workspace}/firmware" CACHE INTERNAL "Folder of the firmware's ELF and HEX images")

# The make of the catkin build would hand its job server to this one; a plain
# sequential make is quick enough and keeps its messages free of job-server
# warnings.
add_custom_target(zv_firmware_image ALL
  COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL
          make --no-print-directory -C ${CMAKE_CURRENT_LIST_DIR} BUILD_DIR=${ZV_FIRMWARE_IMAGE_DIR} all
  COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL
          make --no-print-directory -s -C ${CMAKE_CURRENT_LIST_DIR} BUILD_DIR=${ZV_FIRMWARE_IMAGE_DIR} report
  COMMENT "Firmware image (avr-gcc) into ${ZV_FIRMWARE_IMAGE_DIR}"
  VERBATIM)

if(CATKIN_ENABLE_TESTING)
  # What ./zv flash would run, checked without a board.
  get_filename_component(_zv_script "${CMAKE_CURRENT_LIST_DIR}/../../zv" ABSOLUTE)
  catkin_add_gtest(test_flash_command ${CMAKE_CURRENT_LIST_DIR}/test/test_flash_command.cpp)
  target_compile_definitions(test_flash_command PRIVATE ZV_SCRIPT="${_zv_script}" ZV_WORKSPACE="${_zv_workspace}"
                             ZV_FIRMWARE_IMAGE_DIR="${ZV_FIRMWARE_IMAGE_DIR}")
  add_dependencies(test_flash_command zv_firmware_image)
endif()
